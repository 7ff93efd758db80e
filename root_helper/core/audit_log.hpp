// Audit trail: one system-log line per system-changing command, and the guard's start and end.
#pragma once

#include <string>
#include <vector>

#include "root_helper/core/command_runner.hpp"

namespace tq8::core {

// Wraps a runner and writes one syslog line per command it runs (action, PKEXEC_UID, command,
// return code, duration). A missing log socket changes nothing.
class AuditingRunner final : public CommandRunner {
public:
    AuditingRunner(CommandRunner& inner, std::string action);
    CommandResult run(const std::vector<std::string>& cmd) override;
private:
    CommandRunner& inner_;
    std::string action_;
};

// One free-form audit line (for example the guard's start and its end with the reason).
void audit_note(const std::string& action, const std::string& text);

}  // namespace tq8::core
