// The launcher: embeds the Python runtime, runs app.main from its own directory, maps the ending to a status.
#include "root_helper/core/python/py_ref.hpp"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <utility>

namespace {

constexpr char kFallbackDir[] = "/opt/tq8-vpn-adblocker";

using tq8::py::PyRef;

// The directory of the running program file. /proc/self/exe names the file with every link
// resolved, so a symlink to the launcher placed elsewhere still finds the real directory. The
// kernel refuses (rather than truncates) a path that does not fit in 4095 bytes.
std::string install_dir() {
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n < 0) return kFallbackDir;
    buf[n] = '\0';
    const std::string exe(buf, static_cast<std::size_t>(n));
    const auto slash = exe.rfind('/');
    if (slash == std::string::npos) return kFallbackDir;
    return slash == 0 ? std::string("/") : exe.substr(0, slash);
}

// The status for the exit request exc (already fetched; borrowed), by the rules the privileged
// command's front end follows too: its `code` attribute, or the exception itself when that
// cannot be read. None: 0. An integer: its low eight bits (true and false are 1 and 0); one
// beyond what exit() takes ends with 255, as the runtime's -1 for an overflow does, instead of
// letting a truncation turn a failure code like 2**40 into 0. Anything else: 1, not shown.
int exit_request_status(PyObject* exc) {
    PyRef code = PyRef::steal(PyObject_GetAttrString(exc, "code"));
    if (!code) {
        PyErr_Clear();
        code = PyRef::borrow(exc);
    }
    if (code.get() == Py_None) return 0;
    if (!PyLong_Check(code.get())) return 1;
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(code.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return 1;
    }
    if (overflow != 0 || value < INT_MIN || value > INT_MAX) return 255;
    return static_cast<int>(value) & 0xff;
}

// How app.main (or the lookup of it) ended, with the error indicator set.
int failure_status() {
    if (PyErr_ExceptionMatches(PyExc_SystemExit)) {
        PyRef exc = PyRef::steal(PyErr_GetRaisedException());
        return exit_request_status(exc.get());
    }
    PyErr_Print();
    return 1;
}

// Steps between start-up and shutdown; every reference is gone when this returns, before the
// runtime is finalised.
int run_app(const std::string& dir) {
    if (PyObject* path = PySys_GetObject("path"); path != nullptr && PyList_Check(path)) {
        PyRef entry = PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(dir.data(), static_cast<Py_ssize_t>(dir.size())));
        if (!entry || PyList_Insert(path, 0, entry.get()) < 0) {
            PyErr_Print();
            return 1;
        }
    }

    // An exit request raised while importing ends the process here, the runtime's standard way.
    PyRef app = PyRef::steal(PyImport_ImportModule("app"));
    if (!app) {
        PyErr_Print();
        return 1;
    }

    PyRef main_fn = PyRef::steal(PyObject_GetAttrString(app.get(), "main"));
    if (!main_fn) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return 0;
        }
        return failure_status();
    }

    PyRef result = PyRef::steal(PyObject_CallNoArgs(main_fn.get()));
    if (!result) return failure_status();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string dir = install_dir();

    if (::setenv("PYTHONPATH", dir.c_str(), 1) != 0) return 1;
    if (::setenv("QT_AUTO_SCREEN_SCALE_FACTOR", "1", 0) != 0) return 1;

    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    // Every argument belongs to the application: "-c" or "-m" must not steer the runtime.
    config.parse_argv = 0;
    PyStatus status = PyConfig_SetBytesArgv(&config, argc, argv);
    if (PyStatus_Exception(status)) {
        PyConfig_Clear(&config);
        return 1;
    }
    status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) return 1;

    const int exit_status = run_app(dir);

    // Runs the exit handlers and flushes the application's buffered output.
    (void)Py_FinalizeEx();
    return exit_status;
}
