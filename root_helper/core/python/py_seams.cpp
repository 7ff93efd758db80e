// The seams of the Python face: commands and calls between operations routed through the
// module's current attributes (looked up on each call), and the module state that carries
// the originals and the audit action.
#include "root_helper/core/python/py_module.hpp"

#include <functional>
#include <vector>

#include "root_helper/core/audit_log.hpp"
#include "root_helper/core/saturating_int.hpp"
#include "root_helper/dns_shield/dns_shield.hpp"

namespace tq8::py {
PyRef replacement(PyObject* module, std::size_t which) {
    PyRef current = check(PyObject_GetAttrString(module, kSeamNames[which]));
    if (current.get() == state_of(module).original[which]) return {};
    return current;
}

ModuleRunner::ModuleRunner(PyObject* module) : routed_(module) {
    if (PyObject* action = state_of(module).audit_action) action_ = from_str(action);
}

core::CommandResult ModuleRunner::run(const std::vector<std::string>& cmd) {
    if (action_.empty()) return routed_.run(cmd);
    // Audited here, below every seam, so each command leaves exactly one line whichever path
    // (direct C++ or a Python replacement) an operation took to reach it.
    return core::run_audited(routed_, action_, cmd);
}

core::CommandResult ModuleRunner::Routed::run(const std::vector<std::string>& cmd) {
    {
        GilHold gil;
        if (PyRef fn = replacement(module, kRunCmd)) {
            // Through the surface text's _run_replaced, which checks the result; the surface
            // functions' globals are that text's namespace.
            PyRef argv = to_str_list(cmd);
            PyObject* ns = PyFunction_GetGlobals(state_of(module).original[kRunCmd]);  // borrowed
            PyObject* run = PyDict_GetItemString(ns, "_run_replaced");                 // borrowed
            const long timeout = static_cast<long>(core::kDefaultTimeout.in_seconds());
            PyRef got = check(PyObject_CallFunction(run, "OOl", fn.get(), argv.get(), timeout));
            PyObject* const* item = &PyTuple_GET_ITEM(got.get(), 0);
            return {static_cast<int>(PyLong_AsLong(item[0])), from_str(item[1]), from_str(item[2])};
        }
    }
    return core::run_cmd(cmd);
}

void ModuleSeams::set_mtu(const std::string& interface, const std::string& mtu_decimal) {
    {
        GilHold gil;
        if (PyRef fn = replacement(module_, kSetMtu)) {
            PyRef iface = to_str(interface);
            PyRef mtu = check(PyLong_FromString(mtu_decimal.c_str(), nullptr, 10));
            check(PyObject_CallFunctionObjArgs(fn.get(), iface.get(), mtu.get(), nullptr));
            return;
        }
    }
    // Any decimal integer clamps the same way once it is past the limits of long long.
    netops::set_mtu(runner_, interface, core::parse_saturating(mtu_decimal).value_or(0));
}

bool ModuleSeams::call_bool(std::size_t which, const std::function<bool()>& direct) {
    {
        GilHold gil;
        if (PyRef fn = replacement(module_, which))
            return check_status(PyObject_IsTrue(check(PyObject_CallNoArgs(fn.get())).get())) == 1;
    }
    return direct();
}

bool ModuleSeams::remove_dns_redirect() {
    return call_bool(kRemoveDnsRedirect, [this] { return dns_shield::remove_dns_redirect(runner_); });
}
bool ModuleSeams::shield_listening() {
    return call_bool(kShieldListening, [] { return dns_shield::shield_listening(); });
}
bool ModuleSeams::shield_answers() {
    return call_bool(kShieldAnswers, [] { return dns_shield::shield_answers(); });
}

}  // namespace tq8::py
