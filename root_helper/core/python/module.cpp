// The tq8_root_helper module: its surface text, the native functions behind it, its state.
#include "root_helper/core/python/py_module.hpp"
#include "root_helper/core/python/front_end.hpp"

#include <signal.h>

#include <cmath>
#include <limits>
#include <optional>
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

// Builtin functions cannot carry annotations or Python signatures, so what Python code sees
// is ordinary functions, written from the declaration in surface.hpp; each only forwards to
// its native twin. The constants sit between the functions because that is the order the
// module publishes.
void append_literal(std::string& out, std::string_view text) {
    out += '"';
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    out += '"';
}

std::string surface_text() {
    std::string py;
    for (const Published& p : kPublished) {
        py += '\n';
        if (!p.function()) {
            py.append(p.name).append(" = ").append(p.value).append("\n");
            continue;
        }
        std::string args;
        py.append("def ").append(p.name).append("(");
        for (const Param& param : p.params) {
            if (param.name.empty()) break;
            if (!args.empty()) {
                args += ", ";
                py += ", ";
            }
            args += param.name;
            py.append(param.name).append(": ");
            append_literal(py, param.annotation);
            if (!param.default_value.empty()) py.append(" = ").append(param.default_value);
        }
        py += ") -> ";
        append_literal(py, p.returns);
        py += ":\n";
        if (!p.doc.empty()) {
            py += "    ";
            append_literal(py, p.doc);
            py += '\n';
        }
        py.append("    return _native.").append(p.name).append("(").append(args).append(")\n");
    }
    return py;
}

constexpr const char* kNativeHolder = "tq8_root_helper._native";

// The count a native of the surface function `which` takes (the surface text passes every
// parameter by position); TypeError otherwise.
bool arity(std::size_t which, Py_ssize_t nargs) {
    const Published& p = kPublished[which];
    if (nargs == p.arity()) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given",
                 p.name.data(), p.arity(), nargs);
    return false;
}

// int(value), saturated to long long: the operations clamp far inside that range anyway.
long long to_saturated_int(PyObject* value) {
    PyRef n = check(PyNumber_Long(value));
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(n.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw PythonError();
    if (overflow > 0) return std::numeric_limits<long long>::max();
    if (overflow < 0) return std::numeric_limits<long long>::min();
    return v;
}

// int(value) as decimal text, of any size the runtime will print.
std::string to_decimal(PyObject* value) {
    PyRef n = check(PyNumber_Long(value));
    PyRef s = check(PyObject_Str(n.get()));
    return from_str(s.get(), "mtu");
}

// None (or infinity): no limit. Zero or less has run out at once, as a deadline would.
core::TimeLimit to_timeout(PyObject* timeout) {
    if (timeout == Py_None) return core::TimeLimit::none();
    if (!PyLong_Check(timeout) && !PyFloat_Check(timeout)) {
        PyErr_SetString(PyExc_TypeError, texts::timeout_wrong_type(Py_TYPE(timeout)->tp_name).c_str());
        throw PythonError();
    }
    double t = PyFloat_Check(timeout) ? PyFloat_AS_DOUBLE(timeout) : PyLong_AsDouble(timeout);
    if (t == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw PythonError();
        PyErr_Clear();
        int overflow = 0;
        PyLong_AsLongLongAndOverflow(timeout, &overflow);
        t = overflow > 0 ? std::numeric_limits<double>::infinity() : -1.0;
    }
    if (std::isnan(t)) {
        PyErr_SetString(PyExc_ValueError, std::string(texts::kTimeoutNaN).c_str());
        throw PythonError();
    }
    if (std::isinf(t) && t > 0) return core::TimeLimit::none();
    return core::TimeLimit::seconds(t);
}

// Any str as UTF-8, lone surrogates included (surrogatepass), so that text built from it
// decodes back to exactly the same str.
std::string utf8_of(PyObject* s) {
    PyRef b = check(PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass"));
    return std::string(PyBytes_AS_STRING(b.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(b.get())));
}

// The runner's own failure triple for a command shown as Python sees it.
PyObject* failure_triple(PyObject* shown, std::string_view description) {
    core::CommandResult r = core::failure_of_shown(utf8_of(shown), description);
    PyRef err = check(PyUnicode_DecodeUTF8(r.err.data(), static_cast<Py_ssize_t>(r.err.size()),
                                           "surrogatepass"));
    return Py_BuildValue("isO", r.rc, r.out.c_str(), err.get());
}

PyObject* failure_triple(PyObject* shown, PyObject* description) {
    return failure_triple(shown, utf8_of(description));
}

// str(o); an object whose str() fails still must not make run_cmd raise.
PyRef shown(PyObject* o) {
    PyObject* s = PyObject_Str(o);
    if (s) return PyRef::steal(s);
    PyErr_Clear();
    return check(PyUnicode_FromString("?"));
}

// str() of each item joined with spaces: the command as the failure text shows it.
PyRef shown_command(PyObject* items) {
    Py_ssize_t n = PyList_GET_SIZE(items);
    PyRef parts = check(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        PyList_SET_ITEM(parts.get(), i, shown(PyList_GET_ITEM(items, i)).release());
    PyRef sep = check(PyUnicode_FromString(" "));
    return check(PyUnicode_Join(sep.get(), parts.get()));
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

// run_cmd never raises for what it was asked to run: an unusable argument vector is a failed
// run like any other.
PyObject* native_run_cmd(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity(kRunCmd, nargs)) return nullptr;
    return guarded([&]() -> PyObject* {
        const core::TimeLimit timeout = to_timeout(args[1]);
        PyObject* cmd = args[0];
        if (PyUnicode_Check(cmd) || PyBytes_Check(cmd) || PyByteArray_Check(cmd))
            return failure_triple(shown(cmd).get(), texts::run_cmd_not_a_list(Py_TYPE(cmd)->tp_name));
        PyRef items = PyRef::steal(PySequence_List(cmd));
        if (!items) {
            // Not iterable, or an iterator that failed; KeyboardInterrupt and the like go on.
            if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PythonError();
            if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                return failure_triple(shown(cmd).get(),
                                      texts::run_cmd_not_a_list(Py_TYPE(cmd)->tp_name));
            }
            PyRef exc = PyRef::steal(PyErr_GetRaisedException());
            return failure_triple(shown(cmd).get(), shown(exc.get()).get());
        }
        std::vector<std::string> argv;
        argv.reserve(static_cast<std::size_t>(PyList_GET_SIZE(items.get())));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            PyObject* item = PyList_GET_ITEM(items.get(), i);
            if (!PyUnicode_Check(item)) {
                return failure_triple(shown_command(items.get()).get(),
                                      texts::run_cmd_item_not_str(Py_TYPE(item)->tp_name));
            }
            PyRef b = PyRef::steal(PyUnicode_AsEncodedString(item, "utf-8", "surrogateescape"));
            if (!b) {
                PyRef exc = PyRef::steal(PyErr_GetRaisedException());
                return failure_triple(shown_command(items.get()).get(), shown(exc.get()).get());
            }
            std::string arg(PyBytes_AS_STRING(b.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(b.get())));
            if (arg.find('\0') != std::string::npos)
                return failure_triple(shown_command(items.get()).get(), texts::kRunNulInArgument);
            argv.push_back(std::move(arg));
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
        std::string interface = from_str(a[0], "interface");
        long long mtu = to_saturated_int(a[1]);
        return [interface = std::move(interface), mtu](core::CommandRunner& runner, auto&) {
            return netops::set_mtu(runner, interface, mtu);
        };
    });
}

PyObject* native_manage_killswitch(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return operation<published("manage_killswitch")>(module, args, nargs, [](PyObject* const* a) {
        bool enable = check_status(PyObject_IsTrue(a[0])) == 1;
        std::string wg_iface = from_str(a[1], "wg_iface");
        // Every entry is checked before the first command: a bad entry must not leave the
        // firewall half-changed.
        std::vector<std::string> split_ips;
        PyObject* ips = a[2];
        if (ips != Py_None) {
            if (PyUnicode_Check(ips) || PyBytes_Check(ips)) {
                PyErr_Format(PyExc_TypeError, "split_ips must be a list of str, not %.200s",
                             Py_TYPE(ips)->tp_name);
                throw PythonError();
            }
            PyRef it = check(PyObject_GetIter(ips));
            while (PyRef item = PyRef::steal(PyIter_Next(it.get())))
                split_ips.push_back(from_str(item.get(), "split_ips entries"));
            if (PyErr_Occurred()) throw PythonError();
        }
        return [enable, wg_iface = std::move(wg_iface), split_ips = std::move(split_ips)](
                   core::CommandRunner& runner, auto&) {
            return netops::manage_killswitch(runner, enable, wg_iface, split_ips);
        };
    });
}

PyObject* native_manage_wireguard(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return operation<published("manage_wireguard")>(module, args, nargs, [](PyObject* const* a) {
        std::string action = from_str(a[0], "action");
        std::string conf_path = from_str(a[1], "conf_path");
        std::string mtu = to_decimal(a[2]);
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
    return operation<published("emergency_network_reset")>(module, args, nargs, [](PyObject* const*) {
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
    if (!arity(published("dns_guard"), nargs)) return nullptr;
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

// The natives' table, from the declaration: one entry per published function.
struct NativeTable {
    PyMethodDef defs[kPublishedCount + 1] = {};
    NativeTable() {
        std::size_t n = 0;
        for (const Published& p : kPublished) {
            if (!p.native) continue;
            defs[n++] = {p.name.data(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(p.native)),
                         METH_FASTCALL, nullptr};
        }
    }
};
PyMethodDef* natives() {
    static NativeTable table;
    return table.defs;
}

PyRef str_tuple(const std::vector<std::string>& items) {
    PyRef t = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t i = 0; i < items.size(); ++i)
        PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), to_str(items[i]).release());
    return t;
}

void set_attr(PyObject* o, const char* name, const PyRef& value) {
    check_status(PyObject_SetAttrString(o, name, value.get()));
}

// The front end's two natives (see front_end.hpp); self is the module.
PyObject* audit_scope(PyObject* module, PyObject* action) {
    return guarded([&]() -> PyObject* {
        ModuleState& st = state_of(module);
        if (st.audit_enabled) st.audit_action = from_str(action, "action");
        core::set_audit_action(st.audit_action);
        return PyBool_FromLong(st.audit_enabled);
    });
}
PyObject* guard_status(PyObject* module, PyObject*) {
    return guarded([&]() -> PyObject* { return PyLong_FromLong(guard_exit_status(module)); });
}
PyMethodDef kFrontEndNatives[] = {
    {"_audit_scope", audit_scope, METH_O, nullptr},
    {"_guard_status", guard_status, METH_NOARGS, nullptr},
};

PyRef front_end_texts() {
    PyRef t = check(PyDict_New());
    PyRef argparse = check(PyDict_New());
    for (const auto& [en, tr] : texts::kArgparseTexts)
        check_status(PyDict_SetItemString(argparse.get(), en, to_str(tr).get()));
    check_status(PyDict_SetItemString(t.get(), "argparse", argparse.get()));
    const std::pair<const char*, std::string_view> help[] = {
        {"description", texts::kParserDescription}, {"action", texts::kHelpAction},
        {"iface", texts::kHelpIface}, {"mtu", texts::kHelpMtu}, {"enable", texts::kHelpEnable},
        {"disable", texts::kHelpDisable}, {"wg_action", texts::kHelpWgAction},
        {"conf", texts::kHelpConf}, {"split_ips", texts::kHelpSplitIps},
    };
    for (const auto& [key, text] : help) check_status(PyDict_SetItemString(t.get(), key, to_str(text).get()));
    return t;
}

// The front end's main, compiled into its own namespace.
PyRef front_end_main(PyObject* module) {
    PyRef ns = check(PyDict_New());
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    check_status(PyDict_SetItemString(ns.get(), "__builtins__", PyEval_GetBuiltins()));
    check_status(PyDict_SetItemString(ns.get(), "_m", module));
    check_status(PyDict_SetItemString(ns.get(), "_own_guard", PyDict_GetItemString(dict, "dns_guard")));
    check_status(PyDict_SetItemString(ns.get(), "_T", front_end_texts().get()));
    check_status(PyDict_SetItemString(ns.get(), "_MTU", check(PyLong_FromLong(netops::kTunnelMtu)).get()));
    for (PyMethodDef& def : kFrontEndNatives)
        check_status(PyDict_SetItemString(ns.get(), def.ml_name, check(PyCFunction_New(&def, module)).get()));
    PyRef code = check(Py_CompileString(kFrontEndSource, "<tq8_root_helper front end>", Py_file_input));
    check(PyEval_EvalCode(code.get(), ns.get(), ns.get()));
    return PyRef::borrow(PyDict_GetItemString(ns.get(), "main"));
}

PyRef make_native_holder(PyObject* module) {
    PyRef holder = check(PyModule_New(kNativeHolder));
    PyRef modname = check(PyUnicode_FromString(kNativeHolder));
    for (PyMethodDef* def = natives(); def->ml_name; ++def) {
        // self is the module: the natives reach its state and its current attributes.
        PyRef fn = check(PyCMethod_New(def, module, modname.get(), nullptr));
        set_attr(holder.get(), def->ml_name, fn);
    }
    set_attr(holder.get(), "STUB_DNS", to_str(core::STUB_DNS));
    set_attr(holder.get(), "SHIELD_DNS", to_str(core::SHIELD_DNS));
    set_attr(holder.get(), "DNAT_RULE", str_tuple(core::DNAT_RULE));
    set_attr(holder.get(), "IPT", str_tuple(core::IPT));
    set_attr(holder.get(), "TUNNEL_MTU", check(PyLong_FromLong(netops::kTunnelMtu)));
    return holder;
}

int exec_module(PyObject* module) {
    PyObject* ok = guarded([&]() -> PyObject* {
        PyObject* dict = PyModule_GetDict(module);
        // As in any module: the runtime's import looks it up in the caller's globals.
        check_status(PyDict_SetItemString(dict, "__builtins__", PyEval_GetBuiltins()));
        PyRef holder = make_native_holder(module);
        check_status(PyDict_SetItemString(dict, "_native", holder.get()));
        PyRef code = check(Py_CompileString(surface_text().c_str(), "<tq8_root_helper>", Py_file_input));
        check(PyEval_EvalCode(code.get(), dict, dict));
        set_attr(holder.get(), "main", front_end_main(module));
        init_state(module);
        return Py_NewRef(Py_None);
    });
    if (!ok) return -1;
    Py_DECREF(ok);
    return 0;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    auto* st = static_cast<ModuleState*>(PyModule_GetState(module));
    if (!st || !st->live) return 0;
    for (PyObject* o : st->original) Py_VISIT(o);
    return 0;
}

int clear_module(PyObject* module) {
    clear_state(module);
    return 0;
}

void free_module(void* module) { free_state(static_cast<PyObject*>(module)); }

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
