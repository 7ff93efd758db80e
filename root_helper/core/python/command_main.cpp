// The privileged command: an isolated runtime with the module built in, main(), its status.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

#include "root_helper/core/audit_log.hpp"
#include "root_helper/core/python/py_module.hpp"

using tq8::py::PyRef;

extern "C" PyObject* PyInit_tq8_root_helper(void);

namespace {

// Exits the process if the runtime cannot be brought up; there is nothing to clean up yet.
void check(PyStatus status) {
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);
}

// pkexec leaves the helper in the caller's session and foreground process group: the caller's
// terminal must not be able to stop a run that holds the run lock (^Z, or a read or write from
// the background), nor end one half-way with a core dump as root in the caller's directory
// (^\). Ignored signals stay ignored in the programs the helper starts, which sit in
// process groups of their own anyway.
void detach_from_terminal_signals() {
    for (int sig : {SIGTSTP, SIGTTIN, SIGTTOU}) ::signal(sig, SIG_IGN);
    const rlimit no_core{0, 0};
    ::setrlimit(RLIMIT_CORE, &no_core);
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

// ^\ and a hang-up of the caller's terminal end a run as ^C does: KeyboardInterrupt once the
// operation in progress has finished (and given the run lock back), a traceback and status 1,
// never a run cut off half-way; the guard catches all three itself and cleans up. A signal
// the starter ignored stays ignored, as the runtime does for SIGINT.
void terminal_signals_like_interrupt() {
    PyRun_SimpleString("import _signal as s\n"
                       "for n in s.SIGQUIT, s.SIGHUP:\n"
                       "    if s.getsignal(n) != s.SIG_IGN: s.signal(n, s.default_int_handler)\n");
}

// The front end's _command() (see front_end.hpp), found in the namespace main() lives in: the
// exit status main() ended with. Anything it cannot decide is shown as the runtime would: 1.
int run_main() {
    PyRef module = PyRef::steal(PyImport_ImportModule("tq8_root_helper"));
    // Each system-changing command of this run leaves a line in the system log.
    if (module) tq8::py::state_of(module.get()).audit_enabled = true;
    PyObject* names = module ? PyModule_GetDict(module.get()) : nullptr;  // borrowed
    PyRef status = PyRef::steal(
        names ? PyRun_String("main.__globals__['_command']()", Py_eval_input, names, names)
              : nullptr);
    const long value = status ? PyLong_AsLong(status.get()) : -1;
    if (status && !PyErr_Occurred()) return static_cast<int>(value);
    PyErr_Print();
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    detach_from_terminal_signals();
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
    terminal_signals_like_interrupt();

    tq8::core::audit_open();
    int exit_status = run_main();
    // The status is final and the standard streams are flushed; tearing the runtime down
    // would only free memory the kernel takes back anyway, and adds milliseconds to every run
    // (the guard's end of input to exit included). No thread, atexit hook or object with a
    // finaliser of ours is pending here; C stdio (our fallbacks) is flushed by hand.
    std::fflush(nullptr);
    _exit(exit_status);
}
