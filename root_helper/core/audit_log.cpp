// Audit trail in the system log: run_audited, audit_note and the line format they share.
#include "root_helper/core/audit_log.hpp"

#include <syslog.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <utility>

#include "root_helper/core/caller.hpp"
#include "root_helper/core/sys_io.hpp"
#include "root_helper/core/system_util.hpp"

namespace tq8::core {
namespace {

// authpriv: these lines record what a privileged run did, so they belong beside pkexec's own
// record of who authorised it, not in the world-readable general log.
constexpr int kFacility = LOG_AUTHPRIV;

AuditSink g_sink;  // only read while runs go on: tests set it before and after
// The action of the privileged command's current dispatch (set_audit_action).
std::string g_action;

void emit(int priority, const std::string& line) {
    // "%s": the line carries arguments chosen by the caller and must never act as a format.
    // Without LOG_CONS and LOG_PERROR syslog() writes nowhere but the log socket and silently
    // drops the line when there is none.
    if (g_sink) g_sink(priority, line);
    else ::syslog(kFacility | priority, "%s", line.c_str());
}

// A control character as \xHH, anything else as itself.
void append_escaped(std::string& out, unsigned char c) {
    static constexpr char kHex[] = "0123456789abcdef";
    if (c >= 0x20 && c != 0x7f) out += static_cast<char>(c);
    else out += {'\\', 'x', kHex[c >> 4], kHex[c & 0xF]};
}

void append_quoted(std::string& out, std::string_view word) {
    const bool plain = !word.empty() && std::ranges::none_of(word, [](unsigned char c) {
        return c <= 0x20 || c == 0x7f || c == '"' || c == '\\';
    });
    if (plain) {
        out += word;
        return;
    }
    // These five as \" \\ \n \r \t, other control characters as \xHH.
    static constexpr std::string_view kNamed = "\"\\\n\r\t";
    static constexpr std::string_view kNames = "\"\\nrt";
    out += '"';
    for (unsigned char c : word) {
        const auto k = kNamed.find(static_cast<char>(c));
        if (k != std::string_view::npos) out += {'\\', kNames[k]};
        else append_escaped(out, c);
    }
    out += '"';
}

// PKEXEC_UID is pkexec's record of the user who authenticated; "-" when the helper was started
// some other way (by root directly, or imported into a Python process).
std::string line_head(const std::string& action) {
    std::string out = "action=";
    append_quoted(out, action);
    out += " user=";
    const auto who = caller().text;
    if (!who || who->empty()) out += '-';
    else append_quoted(out, *who);
    return out;
}

// iptables runs exactly one command per invocation, and the first command option names it.
bool iptables_read_only(const std::vector<std::string>& cmd) {
    static const std::set<std::string_view> kQueries = {"-C", "--check", "-S", "--list-rules",
                                                       "-L", "--list"};
    static const std::set<std::string_view> kChanges = {
        "-A", "--append", "-D", "--delete", "-I", "--insert", "-R", "--replace", "-F", "--flush",
        "-Z", "--zero", "-N", "--new-chain", "-X", "--delete-chain", "-P", "--policy", "-E",
        "--rename-chain"};
    for (std::size_t i = 1; i < cmd.size(); ++i) {
        if (kQueries.contains(cmd[i])) return true;
        if (kChanges.contains(cmd[i])) return false;
    }
    return false;
}

// ip OPTIONS OBJECT VERB ...: only the full query verbs count; ip's abbreviations are resolved
// per object in an order of its own, so an abbreviated verb is logged rather than guessed.
bool ip_read_only(const std::vector<std::string>& cmd) {
    std::size_t i = 1;
    while (i < cmd.size() && !cmd[i].empty() && cmd[i][0] == '-') {
        if (cmd[i] == "-b" || cmd[i] == "-batch" || cmd[i] == "-force") return false;
        // The options that take a value; the value is not the object.
        static const std::set<std::string_view> kTakeValue = {
            "-n", "-netns", "-f", "-family", "-l", "-loops", "-rc", "-rcvbuf"};
        i += kTakeValue.contains(cmd[i]) ? 2 : 1;
    }
    const std::string verb = i + 1 < cmd.size() ? cmd[i + 1] : "";
    return verb == "show" || verb == "list" || verb == "lst" || verb == "get";
}

// True for the commands that only look (never logged by run_audited).
bool is_read_only_command(const std::vector<std::string>& cmd) {
    if (cmd.empty()) return false;
    const std::string prog = base_of(cmd[0]);
    if (prog == "iptables" || prog == "ip6tables") return iptables_read_only(cmd);
    if (prog == "iptables-save" || prog == "ip6tables-save") return true;
    return prog == "ip" && ip_read_only(cmd);
}

}  // namespace

std::string audit_quote(const std::vector<std::string>& cmd) {
    std::string out;
    for (std::size_t i = 0; i < cmd.size(); ++i) {
        if (i > 0) out += ' ';
        append_quoted(out, cmd[i]);
    }
    return out;
}

CommandResult run_audited(CommandRunner& runner, const std::string& action,
                          const std::vector<std::string>& cmd) {
    if (is_read_only_command(cmd)) return runner.run(cmd);
    const auto start = Clock::now();
    CommandResult result = runner.run(cmd);
    const auto ms = (Clock::now() - start) / std::chrono::milliseconds(1);
    emit(result.rc == 0 ? LOG_INFO : LOG_WARNING,
         line_head(action) + " rc=" + std::to_string(result.rc) + " ms=" + std::to_string(ms) +
             " cmd=" + audit_quote(cmd));
    return result;
}

void audit_note(const std::string& action, const std::string& text) {
    std::string line = line_head(action) + ' ';
    // Free text keeps its spaces; only what could break or forge the line is escaped.
    for (unsigned char c : text) append_escaped(line, c);
    emit(LOG_NOTICE, line);
}

void set_audit_action(std::string action) { g_action = std::move(action); }

void audit_refusal(const std::string& what, const std::string& reason) {
    if (!g_action.empty()) audit_note(g_action, "refused " + what + ": " + reason);
}

// No LOG_NDELAY: the socket is opened by the first line, and a system without one loses nothing
// but the lines.
void audit_open() { ::openlog("tq8_root_helper", LOG_PID, kFacility); }

void set_audit_sink(AuditSink s) { g_sink = std::move(s); }

}  // namespace tq8::core
