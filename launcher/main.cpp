// The launcher: embeds the Python runtime, runs app.main from its own directory, maps the ending to a status.
#include "root_helper/core/python/py_ref.hpp"

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace {

constexpr char kFallbackDir[] = "/opt/tq8-vpn-adblocker";

using tq8::py::PyRef;

// The directory of the running program file. /proc/self/exe names the file with every link
// resolved, so a symlink to the launcher placed elsewhere still finds the real directory.
std::string install_dir() {
    std::error_code error;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error || !exe.has_parent_path()) return kFallbackDir;
    return exe.parent_path();
}

// How app.main (or the lookup of it) ended, with the error indicator set. An exit request by
// the rules the privileged command's front end follows too: its `code` None: 0; an integer:
// its low eight bits (true and false are 1 and 0), one beyond what exit() takes ends with 255,
// as the runtime's -1 for an overflow does, instead of letting a truncation turn a failure
// code like 2**40 into 0; anything else (or a code that cannot be read): 1, not shown. Any
// other exception is shown: 1.
int failure_status() {
    if (!PyErr_ExceptionMatches(PyExc_SystemExit)) {
        PyErr_Print();
        return 1;
    }
    PyRef exc = PyRef::steal(PyErr_GetRaisedException());
    PyRef code = PyRef::steal(PyObject_GetAttrString(exc.get(), "code"));
    PyErr_Clear();
    if (code.get() == Py_None) return 0;
    if (!code || !PyLong_Check(code.get())) return 1;
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(code.get(), &overflow);
    if (overflow != 0 || value < INT_MIN || value > INT_MAX) return 255;
    return static_cast<int>(value) & 0xff;
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

    // No main: nothing more to run.
    PyRef main_fn = PyRef::steal(PyObject_GetAttrString(app.get(), "main"));
    if (!main_fn && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return 0;
    }
    PyRef result = main_fn ? PyRef::steal(PyObject_CallNoArgs(main_fn.get())) : PyRef();
    return result ? 0 : failure_status();
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
    if (!PyStatus_Exception(status)) status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) return 1;

    const int exit_status = run_app(dir);

    // Runs the exit handlers and flushes the application's buffered output.
    (void)Py_FinalizeEx();
    return exit_status;
}
