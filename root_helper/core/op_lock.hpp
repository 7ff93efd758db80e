// Serialises the helper's system-changing operations across processes (flock on a file under
// /run), so that two runs cannot interleave their firewall commands.
#pragma once

#include <chrono>
#include <string>

#include "root_helper/core/unique_fd.hpp"

namespace tq8::core {

inline constexpr const char* kOpLockPath = "/run/tq8-root-helper.lock";

// Long enough for any operation that is not itself stuck (each command is bounded by the
// runner's 15 s); short enough that a wedged holder cannot keep a repair from running.
inline constexpr std::chrono::milliseconds kOpLockWait{30'000};

// Holds the lock for its lifetime.
//
// Re-entrant per thread: operations call one another through the module (reset and guard call
// remove_dns_redirect), and a second flock() on a fresh open file description would wait for
// the first one forever. So only the outermost OpLock of a thread opens and locks the file;
// nested ones are no-ops. Another thread of the same process takes the file lock itself and
// therefore waits like another process would.
//
// Never fails: when the file cannot be opened (no /run, not root, something that is not a
// regular file in the way) or the wait runs out, the operation goes ahead unlocked: the lock
// protects consistency, it must not stop a repair. state() says which happened.
class OpLock {
public:
    enum class State {
        kOwner,     // this object holds the file lock
        kNested,    // an outer OpLock of this thread is alive; nothing done
        kUnlocked,  // the lock file could not be opened or locked; going ahead without it
        kTimedOut,  // another holder kept it past the wait; going ahead without it
    };

    explicit OpLock(const std::string& path = kOpLockPath,
                    std::chrono::milliseconds wait = kOpLockWait);
    ~OpLock();
    OpLock(const OpLock&) = delete;
    OpLock& operator=(const OpLock&) = delete;

    // True while this object owns the file lock (false for nested and unlocked ones).
    bool held() const noexcept { return static_cast<bool>(fd_); }
    State state() const noexcept { return state_; }
    // How many OpLocks are alive on this thread.
    static int depth() noexcept;

private:
    UniqueFd fd_;
    State state_ = State::kUnlocked;
};

}  // namespace tq8::core
