// Waits, whole writes and reads, and child processes, each bounded by a deadline.
#include "root_helper/core/sys_io.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>
#include <new>
#include <system_error>
#include <utility>

#include "root_helper/core/unique_fd.hpp"

namespace tq8::core {

int poll_wait_ms(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, INT_MAX));
}

int wait_any(std::span<pollfd> fds, const Deadline& deadline) {
    for (;;) {
        const int n = ::poll(fds.data(), fds.size(), deadline ? poll_wait_ms(*deadline) : -1);
        // A signal: wait again for the time that is left (a self-pipe in fds reports it).
        if (n >= 0 || errno != EINTR) return n;
    }
}

int wait_fd(int fd, short events, const Deadline& deadline) {
    pollfd p{fd, events, 0};
    const int n = wait_any({&p, 1}, deadline);
    return n > 0 ? p.revents : n;
}

ssize_t read_some(int fd, void* buf, std::size_t n) noexcept {
    for (;;) {
        const ssize_t got = ::read(fd, buf, n);
        if (got >= 0 || errno != EINTR) return got;
    }
}

namespace {

// 0 once fd has one of events, else ETIMEDOUT or poll()'s errno.
int ready_by(int fd, short events, const Deadline& deadline) {
    const int ev = wait_fd(fd, events, deadline);
    return ev > 0 ? 0 : ev == 0 ? ETIMEDOUT : errno;
}

// Collects pid's exit if it comes before deadline: its exit status, or minus the signal
// number; nullopt when the deadline passed first (the child is left as it is). A child that
// someone else collected (ECHILD) counts as a success, as the runtime's subprocess does.
std::optional<int> reap_until(pid_t pid, Clock::time_point deadline) {
    UniqueFd exited;
    for (bool first = true;; first = false) {
        int st = 0;
        const pid_t r = ::waitpid(pid, &st, WNOHANG);
        if (r == pid) return WIFSIGNALED(st) ? -WTERMSIG(st) : WEXITSTATUS(st);
        if (r < 0 && errno == ECHILD) return 0;
        if (r < 0 && errno != EINTR) return std::nullopt;
        if (poll_wait_ms(deadline) == 0) return std::nullopt;
        // Usually a matter of microseconds: sleep until the child ends or the deadline comes
        // (without pidfds, in steps of 10 ms).
#ifdef SYS_pidfd_open
        if (first) exited = UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
#endif
        if (exited) wait_fd(exited.get(), POLLIN, deadline);
        else wait_any({}, std::min(deadline, Clock::now() + std::chrono::milliseconds(10)));
    }
}

void check_spawn_setup(int e) {
    if (e == ENOMEM) throw std::bad_alloc();
    if (e != 0) throw std::system_error(e, std::generic_category(), "posix_spawn setup");
}

}  // namespace

int write_all(int fd, std::string_view data, const Deadline& deadline) {
    bool socket = true;
    while (!data.empty()) {
        const ssize_t n = socket ? ::send(fd, data.data(), data.size(), MSG_NOSIGNAL)
                                 : ::write(fd, data.data(), data.size());
        if (n >= 0) {
            data.remove_prefix(static_cast<std::size_t>(n));
        } else if (errno == ENOTSOCK && socket) {
            socket = false;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (int e = ready_by(fd, POLLOUT, deadline)) return e;
        } else if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

std::optional<std::string> read_to_end(int fd, std::size_t limit, const Deadline& deadline) {
    std::string text;
    char buf[16384];
    // With a deadline a read only follows a wait, so that a blocking descriptor cannot hold it;
    // without one only a read that found nothing waits.
    for (bool empty = false;;) {
        if ((deadline || empty) && ready_by(fd, POLLIN, deadline) != 0) return std::nullopt;
        const ssize_t n = read_some(fd, buf, sizeof buf);
        empty = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        if (empty) continue;
        if (n < 0 || text.size() + static_cast<std::size_t>(n) > limit) return std::nullopt;
        if (n == 0) return text;
        text.append(buf, static_cast<std::size_t>(n));
    }
}

int Child::spawn(char* const argv[], int out, int err) {
    posix_spawn_file_actions_t fa;
    check_spawn_setup(::posix_spawn_file_actions_init(&fa));
    const std::unique_ptr<posix_spawn_file_actions_t, int (*)(posix_spawn_file_actions_t*)>
        fa_guard(&fa, ::posix_spawn_file_actions_destroy);
    // Never the caller's standard input: a file it serves could hold every child in its exit
    // (the flush of a descriptor on a user-space file system that never answers).
    check_spawn_setup(
        ::posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0));
    check_spawn_setup(::posix_spawn_file_actions_adddup2(&fa, out, STDOUT_FILENO));
    check_spawn_setup(::posix_spawn_file_actions_adddup2(&fa, err, STDERR_FILENO));
    // Nothing else of ours reaches the child, whatever its close-on-exec flag.
    check_spawn_setup(::posix_spawn_file_actions_addclosefrom_np(&fa, 3));
    posix_spawnattr_t attr;
    check_spawn_setup(::posix_spawnattr_init(&attr));
    const std::unique_ptr<posix_spawnattr_t, int (*)(posix_spawnattr_t*)> attr_guard(
        &attr, ::posix_spawnattr_destroy);
    // The runtime ignores SIGPIPE and SIGXFSZ and exec keeps ignored signals: a child would
    // otherwise see EPIPE where it expects to die quietly.
    sigset_t set;
    sigemptyset(&set);
    check_spawn_setup(::posix_spawnattr_setsigmask(&attr, &set));  // no signal blocked
    sigaddset(&set, SIGPIPE);
    sigaddset(&set, SIGXFSZ);
    check_spawn_setup(::posix_spawnattr_setsigdefault(&attr, &set));
    // A group of its own, so that a kill reaches whatever the program started too.
    check_spawn_setup(::posix_spawnattr_setpgroup(&attr, 0));
    check_spawn_setup(::posix_spawnattr_setflags(
        &attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP));
    pid_t pid = -1;
    const int e = ::posix_spawnp(&pid, argv[0], &fa, &attr, argv, environ);
    if (e == 0) pid_ = pid;
    return e;
}

int Child::fork() noexcept {
    pid_ = ::fork();
    return pid_ < 0 ? errno : 0;
}

std::optional<int> Child::wait(const Deadline& deadline) {
    if (pid_ <= 0) return 0;
    const auto status = reap_until(pid_, deadline.value_or(Clock::time_point::max()));
    if (status) pid_ = -1;
    return status;
}

bool Child::kill_and_reap() noexcept {
    if (pid_ <= 0) return true;
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    return reap_until(std::exchange(pid_, -1), Clock::now() + kAbandonAfterKill).has_value();
}

}  // namespace tq8::core
