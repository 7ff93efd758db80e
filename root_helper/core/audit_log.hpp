// Audit trail: one system-log line per system-changing command, and the guard's start and end.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "root_helper/core/command_runner.hpp"

namespace tq8::core {

// cmd through runner, and one syslog line for it when it may change the system:
//   action=<action> user=<PKEXEC_UID or -> rc=<rc> ms=<duration> cmd=<argv>
// Pure queries (iptables -C/-S/-L, ip ... show/list/get) pass through unlogged. The result is
// returned unchanged; nothing is written to stdout or stderr, and a missing log socket changes
// nothing.
CommandResult run_audited(CommandRunner& runner, const std::string& action,
                          const std::vector<std::string>& cmd);

// One free-form audit line, "action=<action> user=<...> <text>" (for example the guard's start,
// and its end with the reason). Control characters in text are escaped.
void audit_note(const std::string& action, const std::string& text);

// The action of the privileged command's current dispatch, for lines written outside a runner;
// "" (the default) while no run is audited, so that a Python caller's own calls leave none.
void set_audit_action(std::string action);

// A refusal of something the caller handed over, while a run is audited:
//   action=<action> user=<...> refused <what>: <reason>
void audit_refusal(const std::string& what, const std::string& reason);

// Names the privileged command's lines "tq8_root_helper" with its pid, facility authpriv (next
// to pkexec's own record of the authorisation). Only the command calls it: inside somebody
// else's Python process the lines keep that process's syslog identity. Opens no socket yet.
void audit_open();

// Where audit lines go: (syslog priority, line). An empty sink restores syslog. For tests, which
// set it while nothing runs.
using AuditSink = std::function<void(int priority, std::string_view line)>;
void set_audit_sink(AuditSink sink);

// The argv as it is written in an audit line: words separated by single spaces, a word that is
// empty or holds white space, a quote, a backslash or a control character written in double
// quotes with C escapes, so that a line can be neither split nor forged by an argument.
std::string audit_quote(const std::vector<std::string>& cmd);

}  // namespace tq8::core
