// The one way the helper starts an external program: run_cmd and the CommandRunner seam.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tq8::core {

// (return code, standard output, standard error); the two texts decoded and trimmed.
struct CommandResult {
    int rc = 0;
    std::string out;
    std::string err;
    bool operator==(const CommandResult&) const = default;
};

// How long one run may take, from its start: no limit, or a number of seconds. A limit of zero
// or less has run out before the run begins (the program is started and stopped at once, as
// Python's timeout=0 does); only none() means "wait as long as it takes".
class TimeLimit {
public:
    static constexpr TimeLimit none() { return TimeLimit(false, 0); }
    static constexpr TimeLimit seconds(double s) { return TimeLimit(true, s); }
    constexpr bool limited() const { return limited_; }
    constexpr double in_seconds() const { return seconds_; }  // meaningful when limited()

private:
    constexpr TimeLimit(bool limited, double s) : limited_(limited), seconds_(s) {}
    bool limited_;
    double seconds_;
};

inline constexpr TimeLimit kDefaultTimeout = TimeLimit::seconds(15);

// Runs cmd without a shell (cmd[0] looked up on PATH when it has no "/"), /dev/null as its
// input, output and error on pipes of their own, nothing else inherited, the whole run bounded
// by limit (and a child that does not die after the limit's SIGKILL is abandoned, not waited
// for).
// A program that exits with any status is an ordinary result (a signal gives
// minus its number). Never throws for a failed run: a program that cannot start, the time
// limit, or output that is not valid UTF-8 give the failure triple
// (1, "", "Komut çalıştırma hatası (<cmd joined by spaces>): <what went wrong>").
// The child runs as the leader of its own process group, so the time limit kills what it
// started as well.
CommandResult run_cmd(const std::vector<std::string>& cmd, TimeLimit limit = kDefaultTimeout);

// What every operation receives to start programs. Tests script it; the binding routes it
// through the module's current run_cmd.
struct CommandRunner {
    virtual ~CommandRunner() = default;
    virtual CommandResult run(const std::vector<std::string>& cmd) = 0;
};

}  // namespace tq8::core
