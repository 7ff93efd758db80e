// The tq8_root_helper module: the native functions behind its surface text, its exec slot.
#include "root_helper/core/python/py_module.hpp"
#include "root_helper/core/python/front_end.hpp"
#include "root_helper/core/python/surface.hpp"

#include <signal.h>

#include <stdexcept>
#include <string>
#include <vector>

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

// The natives behind the surface text's functions; self is the module. Each takes exactly the
// arguments that text passes, by position, of the types it has checked.
using Body = PyObject* (*)(PyObject* module, PyObject* const* args);

// body as a native of N arguments: a TypeError for any other count (the holder is reachable
// from Python), and no C++ exception reaches the interpreter.
template <Body body, Py_ssize_t N>
PyObject* counted(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != N)
        return PyErr_Format(PyExc_TypeError,
                            "native takes %zd positional arguments but %zd were given", N, nargs);
    return guarded([&] { return body(module, args); });
}

template <Body body, Py_ssize_t N>
PyMethodDef entry(const char* name) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(counted<body, N>)),
            METH_FASTCALL, nullptr};
}

// The UTF-8 bytes (surrogateescape) of each str of an iterable.
std::vector<std::string> str_list(PyObject* items) {
    std::vector<std::string> out;
    PyRef it = check(PyObject_GetIter(items));
    while (PyRef item = PyRef::steal(PyIter_Next(it.get()))) out.push_back(from_str(item.get()));
    if (PyErr_Occurred()) throw PythonError();
    return out;
}

// The shape every operation's native shares: call(runner, seams) run with the module's runner
// and seams, without the GIL and under the run lock (taken here for every operation; the
// guard, which runs for a session, takes it itself around its install and its clean-up only),
// its result converted back. The native has converted the arguments with the GIL before, and
// read what the caller names (a file it may serve slowly), so that no other run waits behind
// that read.
template <class Call>
PyObject* operation(PyObject* module, Call call) {
    ModuleRunner runner(module);
    ModuleSeams seams(module, runner);
    return to_python(without_gil([&] {
               core::OpLock op_lock;
               return call(runner, seams);
           }))
        .release();
}

PyObject* run_cmd(PyObject*, PyObject* const* args) {
    std::vector<std::string> argv = str_list(args[0]);
    core::TimeLimit timeout = core::TimeLimit::none();
    if (args[1] != Py_None)
        timeout = core::TimeLimit::seconds(check_status(PyFloat_AsDouble(args[1])));
    core::CommandResult r = without_gil([&] { return core::run_cmd(argv, timeout); });
    PyRef out = to_str(r.out);
    PyRef err = to_str(r.err);
    return Py_BuildValue("iOO", r.rc, out.get(), err.get());
}

PyObject* set_mtu(PyObject* module, PyObject* const* args) {
    std::string interface = from_str(args[0]);
    long long mtu = check_status(PyLong_AsLongLong(args[1]));
    return operation(module, [&](core::CommandRunner& runner, auto&) {
        return netops::set_mtu(runner, interface, mtu);
    });
}

PyObject* manage_killswitch(PyObject* module, PyObject* const* args) {
    bool enable = check_status(PyObject_IsTrue(args[0])) == 1;
    std::string wg_iface = from_str(args[1]);
    std::vector<std::string> split_ips = str_list(args[2]);
    return operation(module, [&](core::CommandRunner& runner, auto&) {
        return netops::manage_killswitch(runner, enable, wg_iface, split_ips);
    });
}

PyObject* manage_wireguard(PyObject* module, PyObject* const* args) {
    std::string action = from_str(args[0]);
    std::string conf_path = from_str(args[1]);
    std::string mtu = from_str(args[2]);
    auto conf = without_gil([&] { return netops::read_tunnel_conf(conf_path); });
    return operation(module, [&](core::CommandRunner& runner, ModuleSeams& seams) {
        return netops::manage_wireguard(runner, seams, action, conf_path, conf, mtu);
    });
}

PyObject* emergency_network_reset(PyObject* module, PyObject* const*) {
    return operation(module, [](core::CommandRunner& runner, ModuleSeams& seams) {
        return netops::emergency_network_reset(runner, seams);
    });
}

PyObject* remove_dns_redirect(PyObject* module, PyObject* const*) {
    return operation(module, [](core::CommandRunner& runner, auto&) {
        return dns_shield::remove_dns_redirect(runner);
    });
}

// The probes: no commands, no lock; only the GIL is let go while they wait.
PyObject* shield_listening(PyObject*, PyObject* const*) {
    return to_python(without_gil([] { return dns_shield::shield_listening(); })).release();
}

PyObject* shield_answers(PyObject*, PyObject* const*) {
    return to_python(without_gil([] { return dns_shield::shield_answers(); })).release();
}

PyObject* dns_guard(PyObject* module, PyObject* const*) {
    GuardRun run = run_dns_guard(module);
    if (int sig = run.outcome.signal) {
        // The guard has cleaned up and put the caller's handlers back; the signal now does
        // what the caller arranged: the default ends the process with it, Python's SIGINT
        // handler raises KeyboardInterrupt.
        ::raise(sig);
        if (PyErr_CheckSignals() < 0) return nullptr;
    }
    return PyLong_FromLong(run.outcome.result);
}

// The front end's own natives (see front_end.hpp).
PyObject* audit_scope(PyObject* module, PyObject* const* args) {
    ModuleState& st = state_of(module);
    if (st.audit_enabled) {
        core::set_audit_action(from_str(args[0]));
        Py_XSETREF(st.audit_action, Py_NewRef(args[0]));
    }
    return PyBool_FromLong(st.audit_enabled);
}

// The type's name as the runtime's own messages show it.
PyObject* type_name(PyObject*, PyObject* const* args) {
    return PyUnicode_FromString(Py_TYPE(args[0])->tp_name);
}

PyMethodDef kNatives[] = {
    entry<run_cmd, 2>("run_cmd"),
    entry<set_mtu, 2>("set_mtu"),
    entry<manage_killswitch, 3>("manage_killswitch"),
    entry<manage_wireguard, 3>("manage_wireguard"),
    entry<emergency_network_reset, 0>("emergency_network_reset"),
    entry<remove_dns_redirect, 0>("remove_dns_redirect"),
    entry<shield_listening, 0>("_shield_listening"),
    entry<shield_answers, 0>("_shield_answers"),
    entry<dns_guard, 0>("dns_guard"),
    entry<audit_scope, 1>("_audit_scope"),
    entry<guard_status, 0>("_guard_status"),
    entry<type_name, 1>("_type_name"),
    {},
};

void set_item(PyObject* dict, const char* name, const PyRef& value) {
    check_status(PyDict_SetItemString(dict, name, value.get()));
}

// The natives and constants the surface text reaches through _native.
PyRef make_native_holder(PyObject* module) {
    PyRef holder = check(PyModule_New(kNativeHolder));
    PyObject* dict = PyModule_GetDict(holder.get());  // borrowed
    PyRef modname = check(PyUnicode_FromString(kNativeHolder));
    for (PyMethodDef* def = kNatives; def->ml_name; ++def)
        set_item(dict, def->ml_name, check(PyCMethod_New(def, module, modname.get(), nullptr)));
    set_item(dict, "STUB_DNS", to_str(core::STUB_DNS));
    set_item(dict, "SHIELD_DNS", to_str(core::SHIELD_DNS));
    set_item(dict, "DNAT_RULE", to_str_list(core::DNAT_RULE));
    set_item(dict, "IPT", to_str_list(core::IPT));
    set_item(dict, "TUNNEL_MTU", check(PyLong_FromLong(netops::kTunnelMtu)));
    return holder;
}

// The front end and the surface, evaluated in a namespace of their own; the surface text ends
// by publishing its names in the module.
int exec_module(PyObject* module) {
    PyObject* done = guarded([&]() -> PyObject* {
        // As in any module: the runtime's import looks it up in the caller's globals.
        set_item(PyModule_GetDict(module), "__builtins__", PyRef::borrow(PyEval_GetBuiltins()));
        PyRef ns = check(PyDict_New());
        set_item(ns.get(), "__builtins__", PyRef::borrow(PyEval_GetBuiltins()));
        set_item(ns.get(), "__name__", check(PyUnicode_FromString("tq8_root_helper")));
        set_item(ns.get(), "_m", PyRef::borrow(module));
        // _T: the face's own texts, and the two it shares with the C++ runner.
        PyRef t = check(PyRun_String(texts::kFaceTexts, Py_eval_input, ns.get(), ns.get()));
        set_item(t.get(), "run_failure", to_str(texts::kRunFailurePrefix));
        set_item(t.get(), "nul", to_str(texts::kRunNulInArgument));
        set_item(ns.get(), "_T", t);
        set_item(ns.get(), "_native", make_native_holder(module));
        for (const char* source : {kFrontEndSource, kSurfaceSource}) {
            PyRef code = check(Py_CompileString(source, "<tq8_root_helper>", Py_file_input));
            check(PyEval_EvalCode(code.get(), ns.get(), ns.get()));
        }
        // The seams as published: what a replacement is told from.
        for (std::size_t i = 0; i < kSeamCount; ++i) {
            PyObject* fn = PyDict_GetItemString(ns.get(), kSeamNames[i]);  // borrowed
            if (!fn) throw std::logic_error("surface function missing");
            state_of(module).original[i] = Py_NewRef(fn);
        }
        return module;  // borrowed: only says that it went well
    });
    return done ? 0 : -1;
}

// The state starts zeroed (no references) and holds nothing but references.
int traverse_module(PyObject* module, visitproc visit, void* arg) {
    ModuleState& st = state_of(module);
    for (PyObject* o : st.original) Py_VISIT(o);
    Py_VISIT(st.audit_action);
    return 0;
}

int clear_module(PyObject* module) {
    ModuleState& st = state_of(module);
    for (PyObject*& o : st.original) Py_CLEAR(o);
    Py_CLEAR(st.audit_action);
    return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

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
