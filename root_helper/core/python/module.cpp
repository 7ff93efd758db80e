// The tq8_root_helper module: its surface text, the native functions behind it, its state.
#include "root_helper/core/python/py_module.hpp"

#include <signal.h>

#include <cmath>
#include <limits>

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
// is ordinary functions; each only forwards to its native twin. The constants sit between
// the functions because that is the order the module publishes.
constexpr char kSurface[] = R"py(
def run_cmd(cmd: "List[str]", timeout: "int" = 15) -> "Tuple[int, str, str]":
    "Komutu çalıştırır ve (returncode, stdout, stderr) döndürür."
    return _native.run_cmd(cmd, timeout)

def set_mtu(interface: "str", mtu: "int") -> "Dict[str, object]":
    return _native.set_mtu(interface, mtu)

def manage_killswitch(enable: "bool", wg_iface: "str" = "tq8wg0", split_ips: "List[str]" = None) -> "Dict[str, object]":
    "iptables üzerinde TQ8_KILLSWITCH zinciri ile VPN koptuğunda sızıntıyı engeller."
    return _native.manage_killswitch(enable, wg_iface, split_ips)

def manage_wireguard(action: "str", conf_path: "str" = "", mtu: "int" = 1420) -> "Dict[str, object]":
    "WireGuard (wg-quick / ip link type wireguard) tünelini başlatır veya durdurur."
    return _native.manage_wireguard(action, conf_path, mtu)

def emergency_network_reset() -> "Dict[str, object]":
    "Ağ ayarları bozulduğunda /etc/resolv.conf, iptables, WireGuard ve DNS önbelleğini sıfırlar."
    return _native.emergency_network_reset()

STUB_DNS = _native.STUB_DNS
SHIELD_DNS = _native.SHIELD_DNS
DNAT_RULE = [*_native.DNAT_RULE]
IPT = [*_native.IPT]

def remove_dns_redirect() -> "bool":
    return _native.remove_dns_redirect()

def _shield_listening() -> "bool":
    "127.0.0.1:5354'ü (UDP) parolayı giren kullanıcının süreci mi dinliyor (/proc/net/udp: 0100007F:14EA, uid)."
    return _native._shield_listening()

def _shield_answers() -> "bool":
    "Çözümleyici gerçekten cevap veriyor mu (donma/SIGSTOP'u da yakalar). Sorgu engelli bir alan için yerelde cevaplanır."
    return _native._shield_answers()

def dns_guard() -> "int":
    "systemd-resolved stub'ına (127.0.0.53) giden DNS sorgularını Sipran çözümleyicisine yönlendirir.\n    Arayüz açık kaldıkça çalışır; stdin kapanınca (arayüz kapandı/çöktü) ya da çözümleyici\n    durunca yönlendirmeyi kaldırır — kullanıcı asla DNS'siz kalmaz."
    return _native.dns_guard()

def main() -> "None":
    return _native.main()
)py";

constexpr const char* kNativeHolder = "tq8_root_helper._native";

bool arity(const char* name, Py_ssize_t nargs, Py_ssize_t expected) {
    if (nargs == expected) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given", name,
                 expected, nargs);
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

// None: no limit. A limit already passed gives the time-out at once, as a deadline would.
double to_timeout(PyObject* timeout) {
    if (timeout == Py_None) return 0.0;
    if (!PyLong_Check(timeout) && !PyFloat_Check(timeout)) {
        PyErr_Format(PyExc_TypeError, "timeout must be int, float or None, not %.200s",
                     Py_TYPE(timeout)->tp_name);
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
        PyErr_SetString(PyExc_ValueError, "timeout must not be NaN");
        throw PythonError();
    }
    if (std::isinf(t) && t > 0) return 0.0;
    if (t <= 0) return 1e-9;
    return t;
}

PyObject* failure_triple(PyObject* shown, PyObject* description) {
    PyRef text = to_str(texts::kRunFailurePrefix);
    PyRef tail = check(PyUnicode_FromFormat("%U): %U", shown, description));
    PyRef err = check(PyUnicode_Concat(text.get(), tail.get()));
    return Py_BuildValue("isO", 1, "", err.get());
}

PyObject* failure_triple(PyObject* shown, const std::string& description) {
    return failure_triple(shown, to_str(description).get());
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

// run_cmd never raises for what it was asked to run: an unusable argument vector is a failed
// run like any other.
PyObject* native_run_cmd(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity("run_cmd", nargs, 2)) return nullptr;
    return guarded([&]() -> PyObject* {
        double timeout = to_timeout(args[1]);
        PyObject* cmd = args[0];
        if (PyUnicode_Check(cmd) || PyBytes_Check(cmd) || PyByteArray_Check(cmd)) {
            return failure_triple(shown(cmd).get(), std::string("expected a list of str, not ") +
                                                   Py_TYPE(cmd)->tp_name);
        }
        PyRef items = PyRef::steal(PySequence_List(cmd));
        if (!items) {
            // Not iterable, or an iterator that failed; KeyboardInterrupt and the like go on.
            if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PythonError();
            if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                return failure_triple(shown(cmd).get(), std::string("expected a list of str, not ") +
                                                       Py_TYPE(cmd)->tp_name);
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
                                      std::string("expected str, not ") + Py_TYPE(item)->tp_name);
            }
            PyRef b = PyRef::steal(PyUnicode_AsEncodedString(item, "utf-8", "surrogateescape"));
            if (!b) {
                PyRef exc = PyRef::steal(PyErr_GetRaisedException());
                return failure_triple(shown_command(items.get()).get(), shown(exc.get()).get());
            }
            std::string arg(PyBytes_AS_STRING(b.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(b.get())));
            if (arg.find('\0') != std::string::npos)
                return failure_triple(shown_command(items.get()).get(), std::string("embedded null byte"));
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
    if (!arity("set_mtu", nargs, 2)) return nullptr;
    return guarded([&]() -> PyObject* {
        std::string interface = from_str(args[0], "interface");
        long long mtu = to_saturated_int(args[1]);
        ModuleRunner runner(module);
        core::Record rec;
        {
            GilRelease nogil;
            core::OpLock op_lock;
            rec = netops::set_mtu(runner, interface, mtu);
        }
        return record_to_dict(rec).release();
    });
}

PyObject* native_manage_killswitch(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity("manage_killswitch", nargs, 3)) return nullptr;
    return guarded([&]() -> PyObject* {
        bool enable = check_status(PyObject_IsTrue(args[0])) == 1;
        std::string wg_iface = from_str(args[1], "wg_iface");
        // Every entry is checked before the first command: a bad entry must not leave the
        // firewall half-changed.
        std::vector<std::string> split_ips;
        PyObject* ips = args[2];
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
        ModuleRunner runner(module);
        core::Record rec;
        {
            GilRelease nogil;
            core::OpLock op_lock;
            rec = netops::manage_killswitch(runner, enable, wg_iface, split_ips);
        }
        return record_to_dict(rec).release();
    });
}

PyObject* native_manage_wireguard(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity("manage_wireguard", nargs, 3)) return nullptr;
    return guarded([&]() -> PyObject* {
        std::string action = from_str(args[0], "action");
        std::string conf_path = from_str(args[1], "conf_path");
        std::string mtu = to_decimal(args[2]);
        ModuleRunner runner(module);
        ModuleSeams seams(module, runner);
        core::Record rec;
        {
            GilRelease nogil;
            core::OpLock op_lock;
            rec = netops::manage_wireguard(runner, seams, action, conf_path, mtu);
        }
        return record_to_dict(rec).release();
    });
}

PyObject* native_emergency_network_reset(PyObject* module, PyObject* const*, Py_ssize_t nargs) {
    if (!arity("emergency_network_reset", nargs, 0)) return nullptr;
    return guarded([&]() -> PyObject* {
        ModuleRunner runner(module);
        ModuleSeams seams(module, runner);
        core::Record rec;
        {
            GilRelease nogil;
            core::OpLock op_lock;
            rec = netops::emergency_network_reset(runner, seams);
        }
        return record_to_dict(rec).release();
    });
}

PyObject* native_remove_dns_redirect(PyObject* module, PyObject* const*, Py_ssize_t nargs) {
    if (!arity("remove_dns_redirect", nargs, 0)) return nullptr;
    return guarded([&]() -> PyObject* {
        ModuleRunner runner(module);
        bool removed;
        {
            GilRelease nogil;
            core::OpLock op_lock;
            removed = dns_shield::remove_dns_redirect(runner);
        }
        return PyBool_FromLong(removed);
    });
}

PyObject* native_shield_listening(PyObject*, PyObject* const*, Py_ssize_t nargs) {
    if (!arity("_shield_listening", nargs, 0)) return nullptr;
    return guarded([&]() -> PyObject* {
        bool listening;
        {
            GilRelease nogil;
            listening = dns_shield::shield_listening();
        }
        return PyBool_FromLong(listening);
    });
}

PyObject* native_shield_answers(PyObject*, PyObject* const*, Py_ssize_t nargs) {
    if (!arity("_shield_answers", nargs, 0)) return nullptr;
    return guarded([&]() -> PyObject* {
        bool answers;
        {
            GilRelease nogil;
            answers = dns_shield::shield_answers();
        }
        return PyBool_FromLong(answers);
    });
}

PyObject* native_dns_guard(PyObject* module, PyObject* const*, Py_ssize_t nargs) {
    if (!arity("dns_guard", nargs, 0)) return nullptr;
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

PyObject* native_main(PyObject* module, PyObject* const*, Py_ssize_t nargs) {
    if (!arity("main", nargs, 0)) return nullptr;
    return front_end_main(module);
}

#define TQ8_NATIVE(name, fn) {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_FASTCALL, nullptr}
PyMethodDef kNatives[] = {
    TQ8_NATIVE("run_cmd", native_run_cmd),
    TQ8_NATIVE("set_mtu", native_set_mtu),
    TQ8_NATIVE("manage_killswitch", native_manage_killswitch),
    TQ8_NATIVE("manage_wireguard", native_manage_wireguard),
    TQ8_NATIVE("emergency_network_reset", native_emergency_network_reset),
    TQ8_NATIVE("remove_dns_redirect", native_remove_dns_redirect),
    TQ8_NATIVE("_shield_listening", native_shield_listening),
    TQ8_NATIVE("_shield_answers", native_shield_answers),
    TQ8_NATIVE("dns_guard", native_dns_guard),
    TQ8_NATIVE("main", native_main),
    {nullptr, nullptr, 0, nullptr},
};
#undef TQ8_NATIVE

PyRef str_tuple(const std::vector<std::string>& items) {
    PyRef t = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t i = 0; i < items.size(); ++i)
        PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), to_str(items[i]).release());
    return t;
}

void set_attr(PyObject* o, const char* name, const PyRef& value) {
    check_status(PyObject_SetAttrString(o, name, value.get()));
}

PyRef make_native_holder(PyObject* module) {
    PyRef holder = check(PyModule_New(kNativeHolder));
    PyRef modname = check(PyUnicode_FromString(kNativeHolder));
    for (PyMethodDef* def = kNatives; def->ml_name; ++def) {
        // self is the module: the natives reach its state and its current attributes.
        PyRef fn = check(PyCMethod_New(def, module, modname.get(), nullptr));
        set_attr(holder.get(), def->ml_name, fn);
    }
    set_attr(holder.get(), "STUB_DNS", to_str(core::STUB_DNS));
    set_attr(holder.get(), "SHIELD_DNS", to_str(core::SHIELD_DNS));
    set_attr(holder.get(), "DNAT_RULE", str_tuple(core::DNAT_RULE));
    set_attr(holder.get(), "IPT", str_tuple(core::IPT));
    return holder;
}

int exec_module(PyObject* module) {
    PyObject* ok = guarded([&]() -> PyObject* {
        PyObject* dict = PyModule_GetDict(module);
        // As in any module: the runtime's import looks it up in the caller's globals.
        check_status(PyDict_SetItemString(dict, "__builtins__", PyEval_GetBuiltins()));
        check_status(PyDict_SetItemString(dict, "_native", make_native_holder(module).get()));
        PyRef code = check(Py_CompileString(kSurface, "<tq8_root_helper>", Py_file_input));
        check(PyEval_EvalCode(code.get(), dict, dict));
        static constexpr const char* names[kSurfaceCount] = {
            "run_cmd", "set_mtu", "remove_dns_redirect", "_shield_listening", "_shield_answers",
            "dns_guard"};
        ModuleState& st = state_of(module);
        for (int i = 0; i < kSurfaceCount; ++i) {
            PyObject* fn = PyDict_GetItemString(dict, names[i]);
            if (!fn) throw std::logic_error("surface function missing");
            Py_XSETREF(st.original[i], Py_NewRef(fn));
        }
        return Py_NewRef(Py_None);
    });
    if (!ok) return -1;
    Py_DECREF(ok);
    return 0;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    auto* st = static_cast<ModuleState*>(PyModule_GetState(module));
    if (!st) return 0;
    for (PyObject* o : st->original) Py_VISIT(o);
    return 0;
}

int clear_module(PyObject* module) {
    auto* st = static_cast<ModuleState*>(PyModule_GetState(module));
    if (!st) return 0;
    for (PyObject*& o : st->original) Py_CLEAR(o);
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
