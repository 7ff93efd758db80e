// The seams of the Python face: commands and calls between operations routed through the
// module's current attributes, records turned into dicts, the guard's lines on sys.stdout.
#include "root_helper/core/python/py_module.hpp"

#include <climits>
#include <optional>

#include "root_helper/core/audit_log.hpp"
#include "root_helper/dns_shield/dns_shield.hpp"

namespace tq8::py {
namespace {

constexpr const char* kSurfaceNames[kSurfaceCount] = {
    "run_cmd", "set_mtu", "remove_dns_redirect", "_shield_listening", "_shield_answers",
    "dns_guard"};

[[noreturn]] void bad_shape(const char* name, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "%s replacement must return (int, str, str), not %.200s",
                 name, Py_TYPE(got)->tp_name);
    throw PythonError();
}

core::CommandResult call_run_cmd(PyObject* fn, const std::vector<std::string>& cmd) {
    PyRef argv = check(PyList_New(static_cast<Py_ssize_t>(cmd.size())));
    for (std::size_t i = 0; i < cmd.size(); ++i)
        PyList_SET_ITEM(argv.get(), static_cast<Py_ssize_t>(i), to_str(cmd[i]).release());
    PyRef timeout = check(PyLong_FromLong(static_cast<long>(core::kDefaultTimeout)));
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

// The guard's lines on whatever sys.stdout is when each line is written.
class StdoutSink final : public dns_shield::LineSink {
public:
    bool write_line(std::string_view line) override {
        // The command writes its lines itself, bounded in time (no runtime, no GIL needed).
        if (direct_fd >= 0) return dns_shield::write_line_within(direct_fd, line) || reader_gone();
        GilHold gil;
        PyRef out = PyRef::borrow(PySys_GetObject("stdout"));
        if (!out || out.get() == Py_None) return reader_gone();
        std::string text(line);
        text += '\n';
        PyRef s = to_str(text);
        PyRef r = PyRef::steal(PyObject_CallMethod(out.get(), "write", "O", s.get()));
        if (r) r = PyRef::steal(PyObject_CallMethod(out.get(), "flush", nullptr));
        if (r) return true;
        // EPIPE: the application that read our lines is gone. A closed stream (ValueError)
        // means the same to the guard. Anything else is a real fault and travels up.
        if (PyErr_ExceptionMatches(PyExc_BrokenPipeError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();
            return reader_gone();
        }
        throw PythonError();
    }
    bool gone = false;
    int direct_fd = -1;  // >= 0: sys.stdout's descriptor, written without the runtime
private:
    bool reader_gone() { gone = true; return false; }
};

}  // namespace

ModuleState& state_of(PyObject* module) {
    return *static_cast<ModuleState*>(PyModule_GetState(module));
}

PyRef replacement(PyObject* module, Surface which) {
    PyRef current = check(PyObject_GetAttrString(module, kSurfaceNames[which]));
    if (current.get() == state_of(module).original[which]) return {};
    return current;
}

namespace {
bool g_audit_enabled = false;
std::string g_audit_action;
}  // namespace

void enable_audit() noexcept { g_audit_enabled = true; }
bool audit_enabled() noexcept { return g_audit_enabled; }
const std::string& audit_action() noexcept { return g_audit_action; }

AuditScope::AuditScope(std::string action) {
    if (g_audit_enabled) g_audit_action = std::move(action);
    core::set_audit_action(g_audit_action);
}
AuditScope::~AuditScope() {
    g_audit_action.clear();
    core::set_audit_action({});
}

core::CommandResult ModuleRunner::run(const std::vector<std::string>& cmd) {
    if (g_audit_action.empty()) return run_unaudited(cmd);
    // Audited here, below every seam, so each command leaves exactly one line whichever path
    // (direct C++ or a Python replacement) an operation took to reach it.
    struct Unaudited final : core::CommandRunner {
        explicit Unaudited(ModuleRunner& r) : r_(r) {}
        core::CommandResult run(const std::vector<std::string>& c) override {
            return r_.run_unaudited(c);
        }
        ModuleRunner& r_;
    } unaudited(*this);
    return core::AuditingRunner(unaudited, g_audit_action).run(cmd);
}

core::CommandResult ModuleRunner::run_unaudited(const std::vector<std::string>& cmd) {
    {
        GilHold gil;
        PyRef fn = replacement(module_, kRunCmd);
        if (fn) return call_run_cmd(fn.get(), cmd);
    }
    return core::run_cmd(cmd);
}

void ModuleSeams::set_mtu(const std::string& interface, const std::string& mtu_decimal) {
    {
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
    {
        GilHold gil;
        PyRef fn = replacement(module_, kRemoveDnsRedirect);
        if (fn) return truth(check(PyObject_CallNoArgs(fn.get())));
    }
    return dns_shield::remove_dns_redirect(runner_);
}

bool ModuleSeams::call_probe(Surface which, bool (*direct)()) {
    {
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

PyRef record_to_dict(const core::Record& record) {
    PyRef d = check(PyDict_New());
    check_status(PyDict_SetItemString(d.get(), "ok", record.ok ? Py_True : Py_False));
    for (const auto& [key, value] : record.state) {
        PyRef v = std::visit(
            [](const auto& x) -> PyRef {
                using T = std::decay_t<decltype(x)>;
                if constexpr (std::is_same_v<T, bool>) return PyRef::borrow(x ? Py_True : Py_False);
                else if constexpr (std::is_same_v<T, long long>) return check(PyLong_FromLongLong(x));
                else if constexpr (std::is_same_v<T, std::string>) return to_str(x);
                else return check(PyLong_FromString(x.decimal.c_str(), nullptr, 10));
            },
            value);
        check_status(PyDict_SetItemString(d.get(), key.c_str(), v.get()));
    }
    PyRef logs = check(PyList_New(static_cast<Py_ssize_t>(record.logs.size())));
    for (std::size_t i = 0; i < record.logs.size(); ++i) {
        const core::LogEntry& e = record.logs[i];
        PyRef entry = check(PyDict_New());
        check_status(PyDict_SetItemString(entry.get(), "cmd", to_str(e.cmd).get()));
        check_status(PyDict_SetItemString(entry.get(), "rc", check(PyLong_FromLong(e.rc)).get()));
        check_status(PyDict_SetItemString(entry.get(), "stdout", to_str(e.out).get()));
        check_status(PyDict_SetItemString(entry.get(), "stderr", to_str(e.err).get()));
        PyList_SET_ITEM(logs.get(), static_cast<Py_ssize_t>(i), entry.release());
    }
    check_status(PyDict_SetItemString(d.get(), "logs", logs.get()));
    return d;
}

namespace {
// True when every attribute the guard reaches through is still the module's own.
bool originals_in_place(PyObject* module) {
    for (Surface s : {kRunCmd, kRemoveDnsRedirect, kShieldListening, kShieldAnswers})
        if (replacement(module, s)) return false;
    return true;
}
}  // namespace

GuardRun run_dns_guard(PyObject* module) {
    // The descriptor is taken when the guard starts: a caller may have replaced sys.stdin.
    PyRef in = PyRef::borrow(PySys_GetObject("stdin"));
    if (!in || in.get() == Py_None) {
        PyErr_SetString(PyExc_RuntimeError, "sys.stdin is not available");
        throw PythonError();
    }
    int fd = PyObject_AsFileDescriptor(in.get());
    if (fd < 0) throw PythonError();

    StdoutSink sink;
    GuardRun run;
    if (audit_enabled() && originals_in_place(module)) {
        // The privileged command: main() is C++ and it loaded no Python code of anyone's, so
        // nothing can replace an attribute while the guard runs and the seams found now stay
        // right to the end. Taking the direct path once keeps the runtime out of every
        // wake-up of a watch that lasts the whole session. Commands are audited as the
        // module's runner would audit them.
        core::SystemRunner system;
        std::optional<core::AuditingRunner> audited;
        if (!audit_action().empty()) audited.emplace(system, audit_action());
        core::CommandRunner& runner = audited ? static_cast<core::CommandRunner&>(*audited) : system;
        DirectSeams seams(runner);
        // A reader that stops reading must not hold the guard in a blocking write with the
        // rule in place: the lines go straight to the descriptor with a deadline.
        if (PyObject* so = PySys_GetObject("stdout"); so && so != Py_None) {
            PyRef flushed = PyRef::steal(PyObject_CallMethod(so, "flush", nullptr));
            if (flushed) sink.direct_fd = PyObject_AsFileDescriptor(so);
            if (sink.direct_fd < 0) PyErr_Clear();
        }
        GilRelease nogil;
        run.outcome = dns_shield::dns_guard(runner, seams, sink, fd);
    } else {
        // A Python caller may replace run_cmd, a probe or remove_dns_redirect at any moment
        // (another thread, a signal handler): each call looks its attribute up again.
        ModuleRunner runner(module);
        ModuleSeams seams(module, runner);
        GilRelease nogil;
        run.outcome = dns_shield::dns_guard(runner, seams, sink, fd);
    }
    run.reader_gone = sink.gone;
    return run;
}

}  // namespace tq8::py
