// Result records and log entries: the plain C++ shapes every operation returns.
#pragma once

#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "root_helper/core/command_runner.hpp"

namespace tq8::core {

// One step of an operation; keys "cmd", "rc", "stdout", "stderr" in that order.
struct LogEntry {
    std::string cmd;
    int rc = 0;
    std::string out;
    std::string err;
    bool operator==(const LogEntry&) const = default;
};

// An integer of any size kept as its decimal text (a Python caller may pass 10**30).
struct BigInt {
    std::string decimal;
    bool operator==(const BigInt&) const = default;
};

using Value = std::variant<bool, long long, std::string, BigInt>;

// "ok" first, then the state keys in insertion order, then "logs".
struct Record {
    bool ok = false;
    std::vector<std::pair<std::string, Value>> state;
    std::vector<LogEntry> logs;
    bool operator==(const Record&) const = default;
};

inline LogEntry log_entry(std::string cmd, const CommandResult& r) {
    return LogEntry{std::move(cmd), r.rc, r.out, r.err};
}

// The items joined with single spaces.
inline std::string join(const std::vector<std::string>& items) {
    std::string s;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) s += ' ';
        s += items[i];
    }
    return s;
}

// Runs cmd and logs it under label, or (without one) under the joined vector: the result.
inline CommandResult run_logged(CommandRunner& runner, std::vector<LogEntry>& logs,
                                std::string label, const std::vector<std::string>& cmd) {
    CommandResult r = runner.run(cmd);
    logs.push_back(log_entry(std::move(label), r));
    return r;
}
inline CommandResult run_logged(CommandRunner& runner, std::vector<LogEntry>& logs,
                                const std::vector<std::string>& cmd) {
    return run_logged(runner, logs, join(cmd), cmd);
}

}  // namespace tq8::core
