// The tq8_root_helper module: the native functions behind its surface text, its exec slot.
#include "root_helper/core/python/py_module.hpp"
#include "root_helper/core/python/front_end.hpp"

#include <signal.h>

#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "root_helper/core/audit_log.hpp"
#include "root_helper/core/constants.hpp"
#include "root_helper/core/op_lock.hpp"
#include "root_helper/core/texts.hpp"
#include "root_helper/dns_shield/dns_shield.hpp"
#include "root_helper/netops/netops.hpp"

namespace tq8::py {
namespace {

constexpr char kModuleDoc[] =
    "\n"
    "TQ8 Sipran — Yetkili Sistem & Ağ Arka Plan Yöneticisi (Root / Polkit Helper)\n"
    "\n"
    "Bu betik GUI'yi root olarak çalıştırmak yerine yalnızca yetki gerektiren ağ,\n"
    "WireGuard, MTU, iptables Kill Switch, dnsmasq ve DNS kurtarma işlemlerini\n"
    "pkexec (Polkit) veya systemd daemon üzerinden güvenli şekilde yürütür ve\n"
    "tüm stdout/stderr çıktılarını JSON/metin olarak GUI'ye döndürür.\n";

constexpr const char* kNativeHolder = "tq8_root_helper._native";

// The count a native takes (the surface text passes every argument by position); TypeError
// otherwise.
bool arity(std::size_t which, Py_ssize_t nargs) {
    const NativeEntry& n = kNatives[which];
    if (nargs == n.nargs) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given",
                 n.name.data(), n.nargs, nargs);
    return false;
}

// The UTF-8 bytes (surrogateescape) of each str of an iterable.
std::vector<std::string> str_list(PyObject* items) {
    std::vector<std::string> out;
    PyRef it = check(PyObject_GetIter(items));
    while (PyRef item = PyRef::steal(PyIter_Next(it.get()))) out.push_back(from_str(item.get()));
    if (PyErr_Occurred()) throw PythonError();
    return out;
}

// The shape every operation's native shares: the arguments counted and converted with the GIL,
// then the operation run with the module's runner and seams without the GIL and under the run
// lock (taken here for every operation; the guard, which runs for a session, takes it itself
// around its install and its clean-up only), and its result converted back. `convert` turns
// the arguments into the call: a callable of (runner, seams) returning a Record or a bool; it
// also reads what the caller names (a file it may serve slowly), so that no other run waits
// behind that read.
PyRef to_python(const core::Record& record) { return record_to_dict(record); }
PyRef to_python(bool value) { return PyRef::borrow(value ? Py_True : Py_False); }

template <std::size_t Which, class Convert>
PyObject* operation(PyObject* module, PyObject* const* args, Py_ssize_t nargs, Convert convert) {
    if (!arity(Which, nargs)) return nullptr;
    return guarded([&]() -> PyObject* {
        auto call = convert(args);
        ModuleRunner runner(module);
        ModuleSeams seams(module, runner);
        decltype(call(runner, seams)) result;
        {
            GilRelease nogil;
            core::OpLock op_lock;
            result = call(runner, seams);
        }
        return to_python(result).release();
    });
}

// A probe: no commands, no lock; only the GIL is let go while it waits.
template <std::size_t Which>
PyObject* probe(Py_ssize_t nargs, bool (*direct)()) {
    if (!arity(Which, nargs)) return nullptr;
    return guarded([&]() -> PyObject* {
        bool yes;
        {
            GilRelease nogil;
            yes = direct();
        }
        return to_python(yes).release();
    });
}

}  // namespace

PyObject* native_run_cmd(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity(kRunCmd, nargs)) return nullptr;
    return guarded([&]() -> PyObject* {
        std::vector<std::string> argv = str_list(args[0]);
        core::TimeLimit timeout = core::TimeLimit::none();
        if (args[1] != Py_None) {
            double seconds = PyFloat_AsDouble(args[1]);
            if (seconds == -1.0 && PyErr_Occurred()) throw PythonError();
            timeout = core::TimeLimit::seconds(seconds);
        }
        core::CommandResult r;
        {
            GilRelease nogil;
            r = core::run_cmd(argv, timeout);
        }
        PyRef out = to_str(r.out);
        PyRef err = to_str(r.err);
        return Py_BuildValue("iOO", r.rc, out.get(), err.get());
    });
}

PyObject* native_set_mtu(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return operation<kSetMtu>(module, args, nargs, [](PyObject* const* a) {
        std::string interface = from_str(a[0]);
        long long mtu = PyLong_AsLongLong(a[1]);
        if (mtu == -1 && PyErr_Occurred()) throw PythonError();
        return [interface = std::move(interface), mtu](core::CommandRunner& runner, auto&) {
            return netops::set_mtu(runner, interface, mtu);
        };
    });
}

PyObject* native_manage_killswitch(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return operation<native("manage_killswitch")>(module, args, nargs, [](PyObject* const* a) {
        bool enable = check_status(PyObject_IsTrue(a[0])) == 1;
        std::string wg_iface = from_str(a[1]);
        std::vector<std::string> split_ips = str_list(a[2]);
        return [enable, wg_iface = std::move(wg_iface), split_ips = std::move(split_ips)](
                   core::CommandRunner& runner, auto&) {
            return netops::manage_killswitch(runner, enable, wg_iface, split_ips);
        };
    });
}

PyObject* native_manage_wireguard(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return operation<native("manage_wireguard")>(module, args, nargs, [](PyObject* const* a) {
        std::string action = from_str(a[0]);
        std::string conf_path = from_str(a[1]);
        std::string mtu = from_str(a[2]);
        std::optional<core::CallerFile> conf;
        {
            GilRelease nogil;
            conf = netops::read_tunnel_conf(conf_path);
        }
        return [action = std::move(action), conf_path = std::move(conf_path), conf = std::move(conf),
                mtu = std::move(mtu)](core::CommandRunner& runner, ModuleSeams& seams) {
            return netops::manage_wireguard(runner, seams, action, conf_path, conf, mtu);
        };
    });
}

PyObject* native_emergency_network_reset(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return operation<native("emergency_network_reset")>(module, args, nargs, [](PyObject* const*) {
        return [](core::CommandRunner& runner, ModuleSeams& seams) {
            return netops::emergency_network_reset(runner, seams);
        };
    });
}

PyObject* native_remove_dns_redirect(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return operation<kRemoveDnsRedirect>(module, args, nargs, [](PyObject* const*) {
        return [](core::CommandRunner& runner, auto&) {
            return dns_shield::remove_dns_redirect(runner);
        };
    });
}

PyObject* native_shield_listening(PyObject*, PyObject* const*, Py_ssize_t nargs) {
    return probe<kShieldListening>(nargs, [] { return dns_shield::shield_listening(); });
}

PyObject* native_shield_answers(PyObject*, PyObject* const*, Py_ssize_t nargs) {
    return probe<kShieldAnswers>(nargs, [] { return dns_shield::shield_answers(); });
}

PyObject* native_dns_guard(PyObject* module, PyObject* const*, Py_ssize_t nargs) {
    if (!arity(native("dns_guard"), nargs)) return nullptr;
    return guarded([&]() -> PyObject* {
        GuardRun run = run_dns_guard(module);
        if (int sig = run.outcome.signal) {
            // The guard has cleaned up and put the caller's handlers back; the signal now
            // does what the caller arranged: the default ends the process with it, Python's
            // SIGINT handler raises KeyboardInterrupt.
            ::raise(sig);
            if (PyErr_CheckSignals() < 0) return nullptr;
        }
        return PyLong_FromLong(run.outcome.result);
    });
}

namespace {

// The natives' table, from the declaration, and the front end's own natives (see front_end.hpp);
// self is the module.
PyObject* audit_scope(PyObject* module, PyObject* action) {
    return guarded([&]() -> PyObject* {
        ModuleState& st = state_of(module);
        if (st.audit_enabled) st.audit_action = from_str(action);
        core::set_audit_action(st.audit_action);
        return PyBool_FromLong(st.audit_enabled);
    });
}
PyObject* guard_status(PyObject* module, PyObject*) {
    return guarded([&]() -> PyObject* { return PyLong_FromLong(guard_exit_status(module)); });
}
// The type's name as the runtime's own messages show it.
PyObject* type_name(PyObject*, PyObject* o) { return PyUnicode_FromString(Py_TYPE(o)->tp_name); }

struct NativeTable {
    PyMethodDef defs[kNativeCount + 4] = {};
    NativeTable() {
        std::size_t n = 0;
        for (const NativeEntry& e : kNatives)
            defs[n++] = {e.name.data(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(e.fn)),
                         METH_FASTCALL, nullptr};
        defs[n++] = {"_audit_scope", audit_scope, METH_O, nullptr};
        defs[n++] = {"_guard_status", guard_status, METH_NOARGS, nullptr};
        defs[n++] = {"_type_name", type_name, METH_O, nullptr};
    }
};

PyRef str_tuple(const std::vector<std::string>& items) {
    PyRef t = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t i = 0; i < items.size(); ++i)
        PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), to_str(items[i]).release());
    return t;
}

void set_item(PyObject* dict, const char* name, const PyRef& value) {
    check_status(PyDict_SetItemString(dict, name, value.get()));
}

PyRef texts_dict() {
    PyRef t = check(PyDict_New());
    PyRef argparse = check(PyDict_New());
    for (const auto& [en, tr] : texts::kArgparseTexts) set_item(argparse.get(), en, to_str(tr));
    set_item(t.get(), "argparse", argparse);
    // The run_cmd texts that end in a type's name, without it.
    const std::string typed[] = {texts::run_cmd_not_a_list(""), texts::run_cmd_item_not_str(""),
                                 texts::timeout_wrong_type("")};
    const std::pair<const char*, std::string_view> entries[] = {
        {"description", texts::kParserDescription}, {"action", texts::kHelpAction},
        {"iface", texts::kHelpIface}, {"mtu", texts::kHelpMtu}, {"enable", texts::kHelpEnable},
        {"disable", texts::kHelpDisable}, {"wg_action", texts::kHelpWgAction},
        {"conf", texts::kHelpConf}, {"split_ips", texts::kHelpSplitIps},
        {"run_failure", texts::kRunFailurePrefix}, {"nul", texts::kRunNulInArgument},
        {"timeout_nan", texts::kTimeoutNaN}, {"not_a_list", typed[0]},
        {"item_not_str", typed[1]}, {"timeout_type", typed[2]},
    };
    for (const auto& [key, text] : entries) set_item(t.get(), key, to_str(text));
    return t;
}

// The natives and constants the surface text reaches through _native.
PyRef make_native_holder(PyObject* module) {
    static NativeTable table;
    PyRef holder = check(PyModule_New(kNativeHolder));
    PyObject* dict = PyModule_GetDict(holder.get());  // borrowed
    PyRef modname = check(PyUnicode_FromString(kNativeHolder));
    for (PyMethodDef* def = table.defs; def->ml_name; ++def)
        set_item(dict, def->ml_name, check(PyCMethod_New(def, module, modname.get(), nullptr)));
    set_item(dict, "STUB_DNS", to_str(core::STUB_DNS));
    set_item(dict, "SHIELD_DNS", to_str(core::SHIELD_DNS));
    set_item(dict, "DNAT_RULE", str_tuple(core::DNAT_RULE));
    set_item(dict, "IPT", str_tuple(core::IPT));
    set_item(dict, "TUNNEL_MTU", check(PyLong_FromLong(netops::kTunnelMtu)));
    return holder;
}

// The front end and the surface, evaluated in a namespace of their own; the surface text ends
// by publishing its names in the module.
int exec_module(PyObject* module) {
    PyObject* ok = guarded([&]() -> PyObject* {
        // As in any module: the runtime's import looks it up in the caller's globals.
        set_item(PyModule_GetDict(module), "__builtins__", PyRef::borrow(PyEval_GetBuiltins()));
        PyRef ns = check(PyDict_New());
        set_item(ns.get(), "__builtins__", PyRef::borrow(PyEval_GetBuiltins()));
        set_item(ns.get(), "__name__", check(PyUnicode_FromString("tq8_root_helper")));
        set_item(ns.get(), "_m", PyRef::borrow(module));
        set_item(ns.get(), "_T", texts_dict());
        set_item(ns.get(), "_native", make_native_holder(module));
        for (const char* source : {kFrontEndSource, kSurfaceSource}) {
            PyRef code = check(Py_CompileString(source, "<tq8_root_helper>", Py_file_input));
            check(PyEval_EvalCode(code.get(), ns.get(), ns.get()));
        }
        // The surface functions with a native, as published: what a replacement is told from.
        auto* st = new (PyModule_GetState(module)) ModuleState;
        st->live = true;
        for (std::size_t i = 0; i < kNativeCount; ++i) {
            PyObject* fn = PyDict_GetItemString(ns.get(), kNatives[i].name.data());  // borrowed
            if (!fn) throw std::logic_error("surface function missing");
            st->original[i] = Py_NewRef(fn);
        }
        return Py_NewRef(Py_None);
    });
    if (!ok) return -1;
    Py_DECREF(ok);
    return 0;
}

// The state once the exec slot has set it up; m_free also runs for a module whose exec never
// ran.
ModuleState* live_state(PyObject* module) {
    auto* st = static_cast<ModuleState*>(PyModule_GetState(module));
    return st && st->live ? st : nullptr;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    if (ModuleState* st = live_state(module))
        for (PyObject* o : st->original) Py_VISIT(o);
    return 0;
}

int clear_module(PyObject* module) {
    if (ModuleState* st = live_state(module))
        for (PyObject*& o : st->original) Py_CLEAR(o);
    return 0;
}

void free_module(void* module) {
    if (ModuleState* st = live_state(static_cast<PyObject*>(module))) {
        clear_module(static_cast<PyObject*>(module));
        st->~ModuleState();
    }
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kDef = {
    PyModuleDef_HEAD_INIT,
    "tq8_root_helper",
    kModuleDoc,
    sizeof(ModuleState),
    nullptr,
    kSlots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace
}  // namespace tq8::py

PyMODINIT_FUNC PyInit_tq8_root_helper(void) { return PyModuleDef_Init(&tq8::py::kDef); }
