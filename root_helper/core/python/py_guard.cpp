// The guard driver of the Python face: dns_guard with the module's seams, its lines on the
// current sys.stdout, watching sys.stdin's descriptor.
#include "root_helper/core/python/py_module.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <stdexcept>

#include "root_helper/core/audit_log.hpp"
#include "root_helper/core/texts.hpp"
#include "root_helper/core/unique_fd.hpp"

namespace tq8::py {
namespace {

// The guard's lines on whatever sys.stdout is when each line is written.
class StdoutSink final : public dns_shield::LineSink {
public:
    bool write_line(std::string_view line) override {
        // The command writes its lines itself, bounded in time (no runtime, no GIL needed).
        if (direct_fd >= 0) return dns_shield::write_line_within(direct_fd, line) || reader_gone();
        GilHold gil;
        PyRef out = PyRef::borrow(PySys_GetObject("stdout"));
        if (!out || out.get() == Py_None) return reader_gone();
        PyRef s = to_str(std::string(line) + '\n');
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

// True when every attribute the guard reaches through is still the module's own.
bool originals_in_place(PyObject* module) {
    for (std::size_t s : {kRunCmd, kRemoveDnsRedirect, kShieldListening, kShieldAnswers})
        if (replacement(module, s)) return false;
    return true;
}

// The guard's start and end in the audit trail; its commands leave their own lines.
void guard_note(PyObject* module, const std::string& text) {
    if (state_of(module).audit_enabled) core::audit_note("dns-guard", text);
}

// The guard's reader went away while lines were pending in sys.stdout's buffers; the
// runtime would try them again at exit and turn the failure into status 120. Our reader is
// gone for good, so the rest of its output goes nowhere: /dev/null in place of its descriptor.
void drop_pending_output() {
    PyObject* out = PySys_GetObject("stdout");  // borrowed
    int fd = out && out != Py_None ? PyObject_AsFileDescriptor(out) : -1;
    if (fd < 0) PyErr_Clear();
    core::UniqueFd null_fd(fd >= 0 ? ::open("/dev/null", O_WRONLY | O_CLOEXEC) : -1);
    if (null_fd) ::dup2(null_fd.get(), fd);
}

}  // namespace

PyObject* guard_status(PyObject* module, PyObject* const*) {
    guard_note(module, std::string(texts::kGuardNoteStarting));
    GuardRun run;
    try {
        run = run_dns_guard(module);
    } catch (...) {
        guard_note(module, std::string(texts::kGuardNoteError));
        throw;
    }
    if (run.outcome.signal)
        guard_note(module, texts::guard_note_signal(run.outcome.signal));
    else if (run.outcome.result != 0)
        guard_note(module, texts::guard_note_not_started(run.outcome.result));
    else
        guard_note(module, std::string(run.reader_gone ? texts::kGuardNoteReaderGone : texts::kGuardNoteDone));
    if (run.reader_gone) drop_pending_output();
    // A termination signal ended the watch after the clean-up: its conventional status.
    return PyLong_FromLong(run.outcome.signal ? 128 + run.outcome.signal : run.outcome.result);
}

GuardRun run_dns_guard(PyObject* module) {
    // The descriptor is taken when the guard starts: a caller may have replaced sys.stdin.
    PyObject* in = PySys_GetObject("stdin");  // borrowed
    if (!in || in == Py_None) throw std::runtime_error("sys.stdin is not available");
    int fd = check_status(PyObject_AsFileDescriptor(in));

    StdoutSink sink;
    // A Python caller may replace run_cmd, a probe or remove_dns_redirect at any moment
    // (another thread, a signal handler): the seams honour that call by call, and take the
    // direct path while the attributes are the module's own.
    ModuleRunner runner(module);
    ModuleSeams seams(module, runner);
    // The privileged command loads no Python code of anyone's, so nothing can replace
    // sys.stdout while its guard runs. A reader that stops reading must not hold the guard in a
    // blocking write with the rule in place: the lines go straight to the descriptor with a
    // deadline.
    PyObject* so = PySys_GetObject("stdout");  // borrowed
    if (state_of(module).audit_enabled && originals_in_place(module) && so && so != Py_None) {
        PyRef flushed = PyRef::steal(PyObject_CallMethod(so, "flush", nullptr));
        if (flushed) sink.direct_fd = PyObject_AsFileDescriptor(so);
        if (sink.direct_fd < 0) PyErr_Clear();
    }
    auto outcome = without_gil([&] { return dns_shield::dns_guard(runner, seams, sink, fd); });
    return GuardRun{outcome, sink.gone};
}

}  // namespace tq8::py
