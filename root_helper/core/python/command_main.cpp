// The privileged command: an isolated runtime with the module built in, main(), its status.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <unistd.h>

#include <cstdio>

#include "root_helper/core/audit_log.hpp"
#include "root_helper/core/python/py_module.hpp"

extern "C" PyObject* PyInit_tq8_root_helper(void);

namespace {

// Exits the process if the runtime cannot be brought up; there is nothing to clean up yet.
void check(PyStatus status) {
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);
}

int run_main() {
    PyObject* module = PyImport_ImportModule("tq8_root_helper");
    // Each system-changing command of this run leaves a line in the system log.
    if (module) tq8::py::enable_audit(module);
    PyObject* result = module ? PyObject_CallMethod(module, "main", nullptr) : nullptr;
    Py_XDECREF(module);
    int status = tq8::py::command_status(result);
    Py_XDECREF(result);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    // UTF-8 mode: pkexec hands us a minimal environment (often the C locale, sometimes a
    // legacy one); the JSON line and arguments that are not UTF-8 must not depend on it.
    PyPreConfig preconfig;
    PyPreConfig_InitIsolatedConfig(&preconfig);
    preconfig.utf8_mode = 1;
    check(Py_PreInitialize(&preconfig));

    // Built in before start-up, so no file on any path can stand in for the module.
    if (PyImport_AppendInittab("tq8_root_helper", PyInit_tq8_root_helper) < 0) return 1;

    // Running as root: no PYTHON* variables, no user site, nothing from the working
    // directory. site itself is not imported either: the helper needs nothing from
    // site-packages, and .pth files there would run code as root.
    PyConfig config;
    PyConfig_InitIsolatedConfig(&config);
    config.parse_argv = 0;
    config.site_import = 0;
    // The usual signal dispositions: SIGPIPE ignored (a vanished reader is EPIPE, not death),
    // SIGINT as KeyboardInterrupt.
    config.install_signal_handlers = 1;
    PyStatus status = PyConfig_SetBytesArgv(&config, argc, argv);
    if (!PyStatus_Exception(status)) status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    check(status);

    tq8::core::audit_open();
    int exit_status = run_main();
    // The status is final and the standard streams are flushed; tearing the runtime down
    // would only free memory the kernel takes back anyway, and adds milliseconds to every run
    // (the guard's end of input to exit included). No thread, atexit hook or object with a
    // finaliser of ours is pending here; C stdio (our fallbacks) is flushed by hand.
    std::fflush(nullptr);
    _exit(exit_status);
}
