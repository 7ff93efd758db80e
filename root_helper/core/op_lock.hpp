// Serialises the helper's system-changing operations across processes (flock on a file under
// /run), so that two runs cannot interleave their firewall commands.
#pragma once

#include <chrono>
#include <string>

#include "root_helper/core/unique_fd.hpp"

namespace tq8::core {

inline constexpr const char* kOpLockPath = "/run/tq8-root-helper.lock";

// The helper's runs wait for as long as a holder runs. A holder cannot be wedged: every
// command it starts is ended after the runner's 15 s, so its hold is bounded by the number of
// commands it runs. Going ahead unlocked after some fixed time instead would let exactly the
// slow runs interleave (a reset whose last commands run to their limit, eight kill switch
// switch-ons queued behind it).
inline constexpr std::chrono::milliseconds kOpLockNoLimit = std::chrono::milliseconds::max();

// Holds the lock for its lifetime.
//
// Re-entrant per thread: operations call one another through the module (reset and guard call
// remove_dns_redirect), and a second flock() on a fresh open file description would wait for
// the first one forever. So only the outermost OpLock of a thread opens and locks the file;
// nested ones are no-ops. Another thread of the same process takes the file lock itself and
// therefore waits like another process would.
//
// Never fails: when the file cannot be opened (no /run, not root, something that is not a
// regular file in the way) the operation goes ahead unlocked: the lock protects consistency,
// it must not stop a repair. A finite wait that runs out also goes ahead unlocked: only the
// guard's clean-up passes one, because the redirect must go within a bound whatever another
// run does.
class OpLock {
public:
    // How an attempt on the lock file ended (lock_file_within).
    enum class State {
        kOwner,     // the descriptor holds the file lock
        kUnlocked,  // the lock file could not be locked; going ahead without it
        kTimedOut,  // another holder kept it past a finite wait; going ahead without it
    };

    explicit OpLock(const std::string& path = kOpLockPath,
                    std::chrono::milliseconds wait = kOpLockNoLimit);
    // Closing the descriptor releases the flock; the file itself stays, so that a waiter that
    // opened it keeps locking the same inode.
    ~OpLock() { --depth_; }
    OpLock(const OpLock&) = delete;
    OpLock& operator=(const OpLock&) = delete;

    // True while this object owns the file lock (false for nested and unlocked ones).
    bool held() const noexcept { return static_cast<bool>(fd_); }
    // How many OpLocks are alive on this thread.
    static int depth() noexcept { return depth_; }

private:
    UniqueFd fd_;
    static inline thread_local int depth_ = 0;
};

// The lock file at path (relative to dir_fd, or AT_FDCWD), created private to root when
// missing; none when it cannot be opened or is not a regular file.
UniqueFd open_lock_file(int dir_fd, const char* path);

// flock(LOCK_EX) on fd within wait (kOpLockNoLimit: for as long as the holder runs, which
// its bounded commands bound): kOwner, kTimedOut, or kUnlocked when the descriptor cannot be
// locked at all.
OpLock::State lock_file_within(int fd, std::chrono::milliseconds wait);

}  // namespace tq8::core
