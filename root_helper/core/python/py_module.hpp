// What the module's pieces share: the module state, the seams that route one operation's calls
// through the module, the record conversion, and the front end's entry.
#pragma once

#include "root_helper/core/python/py_support.hpp"

#include <string>
#include <vector>

#include "root_helper/core/command_runner.hpp"
#include "root_helper/core/records.hpp"
#include "root_helper/core/python/direct_seams.hpp"
#include "root_helper/dns_shield/dns_shield.hpp"

namespace tq8::py {

// The surface functions as the module defined them. A module attribute that is still one of
// these takes the direct C++ path; anything else is a caller's replacement and is called.
enum Surface { kRunCmd, kSetMtu, kRemoveDnsRedirect, kShieldListening, kShieldAnswers,
               kDnsGuard, kSurfaceCount };

struct ModuleState {
    PyObject* original[kSurfaceCount] = {};
};

ModuleState& state_of(PyObject* module);

// The module attribute `name` if it is a replacement of the surface function `which`; an
// empty PyRef when it is still the original. Needs the GIL; throws PythonError when the
// attribute is gone.
PyRef replacement(PyObject* module, Surface which);

// Every command of an operation goes through the module's current run_cmd. Called without
// the GIL (from library code); takes it only to look the attribute up. While the privileged
// command runs an action, each command also leaves its audit line.
class ModuleRunner final : public core::CommandRunner {
public:
    explicit ModuleRunner(PyObject* module) : module_(module) {}
    core::CommandResult run(const std::vector<std::string>& cmd) override;
    core::CommandResult run_unaudited(const std::vector<std::string>& cmd);
private:
    PyObject* module_;  // borrowed: the calling native function keeps the module alive
};

// The audit trail is the privileged command's: command_main enables it, the front end names the
// action for the length of one dispatch. A Python caller's own calls are never audited.
void enable_audit() noexcept;
bool audit_enabled() noexcept;
const std::string& audit_action() noexcept;

class AuditScope {
public:
    explicit AuditScope(std::string action);
    ~AuditScope();
    AuditScope(const AuditScope&) = delete;
    AuditScope& operator=(const AuditScope&) = delete;
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
    bool call_probe(Surface which, bool (*direct)());
    PyObject* module_;
    core::CommandRunner& runner_;
};

// {"ok", state keys..., "logs": [{"cmd", "rc", "stdout", "stderr"}, ...]}. Needs the GIL.
PyRef record_to_dict(const core::Record& record);

struct GuardRun {
    dns_shield::GuardOutcome outcome;
    bool reader_gone = false;  // a line could not be written: sys.stdout closed or EPIPE
};

// Runs the DNS guard with the module's seams, its lines on the current sys.stdout, watching
// sys.stdin's descriptor. The signal that ended the watch (if any) is left to the caller.
// Needs the GIL; releases it while the guard runs.
GuardRun run_dns_guard(PyObject* module);

// The command-line front end (front_end.cpp): parse sys.argv, run one action, print its line.
PyObject* front_end_main(PyObject* module) noexcept;

// The privileged command's exit status once main() has returned `result` (nullptr: it raised),
// decided as the runtime's own exit would: a SystemExit's code (None → 0; an int → its low
// eight bits; anything else is printed on sys.stderr → 1), another error's traceback → 1; then
// sys.stdout and sys.stderr are flushed and a failed flush makes it 120. Lets the command end
// with _exit() instead of tearing the runtime down. Needs the GIL; leaves no error set.
int command_status(PyObject* result) noexcept;

}  // namespace tq8::py
