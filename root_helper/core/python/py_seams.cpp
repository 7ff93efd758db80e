// The seams of the Python face: commands and calls between operations routed through the
// module's current attributes, the watch that knows when those are still the module's own,
// and the module state that carries both and the audit action.
#include "root_helper/core/python/py_module.hpp"

#include <climits>
#include <new>
#include <stdexcept>
#include <vector>

#include "root_helper/core/audit_log.hpp"
#include "root_helper/dns_shield/dns_shield.hpp"

namespace tq8::py {
namespace {

[[noreturn]] void bad_shape(const char* name, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "%s replacement must return (int, str, str), not %.200s",
                 name, Py_TYPE(got)->tp_name);
    throw PythonError();
}

core::CommandResult call_run_cmd(PyObject* fn, const std::vector<std::string>& cmd) {
    PyRef argv = check(PyList_New(static_cast<Py_ssize_t>(cmd.size())));
    for (std::size_t i = 0; i < cmd.size(); ++i)
        PyList_SET_ITEM(argv.get(), static_cast<Py_ssize_t>(i), to_str(cmd[i]).release());
    PyRef timeout = check(PyLong_FromLong(static_cast<long>(core::kDefaultTimeout.in_seconds())));
    PyRef got = check(PyObject_CallFunctionObjArgs(fn, argv.get(), timeout.get(), nullptr));

    if (PyUnicode_Check(got.get()) || PyBytes_Check(got.get()) || !PySequence_Check(got.get()))
        bad_shape("run_cmd", got.get());
    PyRef items = check(PySequence_Tuple(got.get()));
    if (PyTuple_GET_SIZE(items.get()) != 3) bad_shape("run_cmd", got.get());
    PyObject* rc = PyTuple_GET_ITEM(items.get(), 0);
    PyObject* out = PyTuple_GET_ITEM(items.get(), 1);
    PyObject* err = PyTuple_GET_ITEM(items.get(), 2);
    if (!PyLong_Check(rc) || !PyUnicode_Check(out) || !PyUnicode_Check(err))
        bad_shape("run_cmd", got.get());
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(rc, &overflow);
    if (v == -1 && PyErr_Occurred()) throw PythonError();
    if (overflow > 0 || v > INT_MAX) v = INT_MAX;
    if (overflow < 0 || v < INT_MIN) v = INT_MIN;
    return core::CommandResult{static_cast<int>(v), from_str(out, "stdout"), from_str(err, "stderr")};
}

bool truth(PyRef value) { return check_status(PyObject_IsTrue(value.get())) == 1; }

}  // namespace

ModuleState& state_of(PyObject* module) {
    return *static_cast<ModuleState*>(PyModule_GetState(module));
}

namespace {

// The modules whose dict is watched, with their state. Touched only with the GIL.
struct Watched {
    PyObject* dict;  // borrowed: an entry leaves before its dict or its module goes
    ModuleState* state;
};
std::vector<Watched>& watched() {
    static std::vector<Watched> w;
    return w;
}
int g_watcher = -1;  // the main interpreter's watcher, once added

void mark_all(ModuleState& st) noexcept {
    for (auto& m : st.maybe_replaced) m.store(true, std::memory_order_release);
}

// Runs before each change of a watched dict, with the GIL. Must not fail.
int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject* new_value) {
    auto& w = watched();
    for (std::size_t i = 0; i < w.size(); ++i) {
        if (w[i].dict != dict) continue;
        ModuleState& st = *w[i].state;
        if (event == PyDict_EVENT_ADDED || event == PyDict_EVENT_MODIFIED ||
            event == PyDict_EVENT_DELETED) {
            if (!PyUnicode_Check(key)) return 0;
            for (std::size_t f = 0; f < kPublishedCount; ++f) {
                if (!st.original[f] ||
                    PyUnicode_CompareWithASCIIString(key, kPublished[f].name.data()) != 0)
                    continue;
                const bool own = event != PyDict_EVENT_DELETED && new_value == st.original[f];
                st.maybe_replaced[f].store(!own, std::memory_order_release);
            }
        } else {
            // Cleared, filled from another dict, or going away: nothing is known any more.
            mark_all(st);
            if (event == PyDict_EVENT_DEALLOCATED) w.erase(w.begin() + static_cast<std::ptrdiff_t>(i));
        }
        return 0;
    }
    return 0;
}

void unregister(ModuleState* st) noexcept {
    auto& w = watched();
    std::erase_if(w, [st](const Watched& e) { return e.state == st; });
}

}  // namespace

void init_state(PyObject* module) {
    auto* st = new (PyModule_GetState(module)) ModuleState;
    st->live = true;
    mark_all(*st);
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    for (std::size_t i = 0; i < kPublishedCount; ++i) {
        if (!kPublished[i].native) continue;
        PyObject* fn = PyDict_GetItemString(dict, kPublished[i].name.data());
        if (!fn) throw std::logic_error("surface function missing");
        Py_XSETREF(st->original[i], Py_NewRef(fn));
    }
    // Watchers belong to an interpreter; another interpreter's module looks its attributes up
    // on every call, as does one whose watch cannot be set.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) return;
    if (g_watcher < 0) {
        g_watcher = PyDict_AddWatcher(on_dict_event);
        if (g_watcher < 0) {
            PyErr_Clear();
            return;
        }
    }
    if (PyDict_Watch(g_watcher, dict) < 0) {
        PyErr_Clear();
        return;
    }
    watched().push_back({dict, st});
    for (std::size_t i = 0; i < kPublishedCount; ++i)
        st->maybe_replaced[i].store(st->original[i] == nullptr, std::memory_order_release);
}

void clear_state(PyObject* module) noexcept {
    auto* st = static_cast<ModuleState*>(PyModule_GetState(module));
    if (!st || !st->live) return;
    mark_all(*st);
    for (PyObject*& o : st->original) Py_CLEAR(o);
}

void free_state(PyObject* module) noexcept {
    auto* st = static_cast<ModuleState*>(PyModule_GetState(module));
    if (!st || !st->live) return;
    clear_state(module);
    unregister(st);
    st->~ModuleState();
}

PyRef replacement(PyObject* module, std::size_t which) {
    PyRef current = check(PyObject_GetAttrString(module, kPublished[which].name.data()));
    if (current.get() == state_of(module).original[which]) return {};
    return current;
}

void enable_audit(PyObject* module) noexcept { state_of(module).audit_enabled = true; }

AuditScope::AuditScope(PyObject* module, std::string action) : state_(state_of(module)) {
    if (state_.audit_enabled) state_.audit_action = std::move(action);
    core::set_audit_action(state_.audit_action);
}
AuditScope::~AuditScope() {
    state_.audit_action.clear();
    core::set_audit_action({});
}

core::CommandResult ModuleRunner::run(const std::vector<std::string>& cmd) {
    if (state_.audit_action.empty()) return run_unaudited(cmd);
    // Audited here, below every seam, so each command leaves exactly one line whichever path
    // (direct C++ or a Python replacement) an operation took to reach it.
    struct Unaudited final : core::CommandRunner {
        explicit Unaudited(ModuleRunner& r) : r_(r) {}
        core::CommandResult run(const std::vector<std::string>& c) override {
            return r_.run_unaudited(c);
        }
        ModuleRunner& r_;
    } unaudited(*this);
    return core::AuditingRunner(unaudited, state_.audit_action).run(cmd);
}

core::CommandResult ModuleRunner::run_unaudited(const std::vector<std::string>& cmd) {
    if (state_.maybe_replaced[kRunCmd].load(std::memory_order_acquire)) {
        GilHold gil;
        PyRef fn = replacement(module_, kRunCmd);
        if (fn) return call_run_cmd(fn.get(), cmd);
    }
    return core::run_cmd(cmd);
}

void ModuleSeams::set_mtu(const std::string& interface, const std::string& mtu_decimal) {
    if (state_.maybe_replaced[kSetMtu].load(std::memory_order_acquire)) {
        GilHold gil;
        PyRef fn = replacement(module_, kSetMtu);
        if (fn) {
            PyRef iface = to_str(interface);
            PyRef mtu = check(PyLong_FromString(mtu_decimal.c_str(), nullptr, 10));
            check(PyObject_CallFunctionObjArgs(fn.get(), iface.get(), mtu.get(), nullptr));
            return;
        }
    }
    DirectSeams(runner_).set_mtu(interface, mtu_decimal);
}

bool ModuleSeams::remove_dns_redirect() {
    if (state_.maybe_replaced[kRemoveDnsRedirect].load(std::memory_order_acquire)) {
        GilHold gil;
        PyRef fn = replacement(module_, kRemoveDnsRedirect);
        if (fn) return truth(check(PyObject_CallNoArgs(fn.get())));
    }
    return dns_shield::remove_dns_redirect(runner_);
}

bool ModuleSeams::call_probe(std::size_t which, bool (*direct)()) {
    if (state_.maybe_replaced[which].load(std::memory_order_acquire)) {
        GilHold gil;
        PyRef fn = replacement(module_, which);
        if (fn) return truth(check(PyObject_CallNoArgs(fn.get())));
    }
    return direct();
}

bool ModuleSeams::shield_listening() {
    return call_probe(kShieldListening, [] { return dns_shield::shield_listening(); });
}

bool ModuleSeams::shield_answers() {
    return call_probe(kShieldAnswers, [] { return dns_shield::shield_answers(); });
}

}  // namespace tq8::py
