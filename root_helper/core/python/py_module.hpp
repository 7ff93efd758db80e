// What the module's pieces share: the module state, the seams that route one operation's calls
// through the module, the record conversion, and the guard's run.
#pragma once

#include "root_helper/core/python/py_support.hpp"

#include <functional>
#include <string>
#include <vector>

#include "root_helper/core/command_runner.hpp"
#include "root_helper/core/records.hpp"
#include "root_helper/dns_shield/dns_shield.hpp"
#include "root_helper/netops/netops.hpp"

namespace tq8::py {

// The surface functions one operation reaches through the module's current attribute (a
// caller's replacement is honoured), by their place in ModuleState::original.
enum Seam : std::size_t { kRunCmd, kSetMtu, kRemoveDnsRedirect, kShieldListening, kShieldAnswers };
inline constexpr const char* kSeamNames[] = {
    "run_cmd", "set_mtu", "remove_dns_redirect", "_shield_listening", "_shield_answers"};
inline constexpr std::size_t kSeamCount = std::size(kSeamNames);

// The module's state, in the zeroed memory the runtime gives.
struct ModuleState {
    // The seams as the module defined them.
    PyObject* original[kSeamCount];
    // The audit trail is the privileged command's: command_main enables it, the front end
    // names the action (a str) for the length of one dispatch. A Python caller's own calls are
    // never audited.
    bool audit_enabled;
    PyObject* audit_action;
};

inline ModuleState& state_of(PyObject* module) {
    return *static_cast<ModuleState*>(PyModule_GetState(module));
}

// The module attribute named kSeamNames[which] if it is a replacement of that function; an
// empty PyRef when it is still the original. Needs the GIL; throws PythonError when the
// attribute is gone.
PyRef replacement(PyObject* module, std::size_t which);

// Every command of an operation goes through the module's run_cmd: straight to the C++ runner
// while it is the module's own, through Python when a caller replaced it. Constructed with the
// GIL, run without it (from library code). While the privileged command runs an action, each
// command also leaves its audit line.
class ModuleRunner final : public core::CommandRunner {
public:
    // Takes the action being audited, if any; throws PythonError.
    explicit ModuleRunner(PyObject* module);
    core::CommandResult run(const std::vector<std::string>& cmd) override;
private:
    // The command through the module's current run_cmd, not audited.
    struct Routed final : core::CommandRunner {
        explicit Routed(PyObject* m) : module(m) {}
        core::CommandResult run(const std::vector<std::string>& cmd) override;
        PyObject* module;  // borrowed: the calling native function keeps the module alive
    } routed_;
    std::string action_;
};

// One operation calling another: through the module's current attribute.
class ModuleSeams final : public netops::Seams, public dns_shield::Seams {
public:
    ModuleSeams(PyObject* module, core::CommandRunner& runner) : module_(module), runner_(runner) {}
    void set_mtu(const std::string& interface, const std::string& mtu_decimal) override;
    bool remove_dns_redirect() override;
    bool shield_listening() override;
    bool shield_answers() override;
private:
    // The replacement of `which` if there is one, its result as a truth value; else direct().
    bool call_bool(std::size_t which, const std::function<bool()>& direct);
    PyObject* module_;
    core::CommandRunner& runner_;
};

// {"ok", state keys..., "logs": [{"cmd", "rc", "stdout", "stderr"}, ...]}. Needs the GIL.
PyRef to_python(const core::Record& record);
inline PyRef to_python(bool value) { return PyRef::borrow(value ? Py_True : Py_False); }

struct GuardRun {
    dns_shield::GuardOutcome outcome;
    bool reader_gone = false;  // a line could not be written: sys.stdout closed or EPIPE
};

// Runs the DNS guard with the module's seams, its lines on the current sys.stdout, watching
// sys.stdin's descriptor. The signal that ended the watch (if any) is left to the caller.
// Needs the GIL; releases it while the guard runs.
GuardRun run_dns_guard(PyObject* module);

// The native _guard_status(): the guard run by the command's dns-guard action, with its audit
// notes; its exit status as an int (128 + the signal that ended the watch). Needs the GIL.
PyObject* guard_status(PyObject* module, PyObject* const*);

}  // namespace tq8::py
