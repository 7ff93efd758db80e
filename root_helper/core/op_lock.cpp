// Cross-process lock for system-changing operations.
#include "root_helper/core/op_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "root_helper/core/sys_io.hpp"

namespace tq8::core {

using namespace std::chrono_literals;

UniqueFd open_lock_file(int dir_fd, const char* path) {
    // O_NONBLOCK: a FIFO planted at the path must not hang the open. O_NOFOLLOW: root never
    // follows a link it did not make.
    UniqueFd fd(::openat(dir_fd, path,
                         O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0600));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
    return fd;
}

// flock() has no timeout of its own; try without blocking and back off between tries
// (10 ms doubling to 200 ms), so a short hold costs little and a long one costs few wake-ups.
OpLock::State lock_file_within(int fd, std::chrono::milliseconds wait) {
    // Without a limit: the kernel queues the waiter and wakes it when the holder lets go or
    // dies; a signal that interrupts the wait does not end it. Unbounded here, bounded by the
    // holder: a holder runs only its own commands under the lock (each ended at 15 s, abandoned
    // 1 s after SIGKILL), never a wait on its caller (input, files it names, its terminal and
    // streams are dealt with before the lock or after it), so every hold ends.
    while (wait == kOpLockNoLimit) {
        // Cannot hang: the holder's hold ends (above).
        if (::flock(fd, LOCK_EX) == 0) return OpLock::State::kOwner;
        if (errno != EINTR) return OpLock::State::kUnlocked;
    }
    const auto deadline = Clock::now() + wait;
    for (auto step = 10ms;; step = std::min(step * 2, 200ms)) {
        // Never waits, so no signal can interrupt it.
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return OpLock::State::kOwner;
        if (errno != EWOULDBLOCK) return OpLock::State::kUnlocked;
        if (Clock::now() >= deadline) return OpLock::State::kTimedOut;
        wait_any({}, std::min(deadline, Clock::now() + step));
    }
}

OpLock::OpLock(const std::string& path, std::chrono::milliseconds wait) {
    if (depth_++ > 0) return;  // an outer OpLock of this thread holds it
    UniqueFd fd = open_lock_file(AT_FDCWD, path.c_str());
    if (fd && lock_file_within(fd.get(), wait) == State::kOwner) fd_ = std::move(fd);
}

}  // namespace tq8::core
