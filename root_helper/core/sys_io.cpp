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
#include <new>
#include <system_error>
#include <utility>

#include "root_helper/core/unique_fd.hpp"

namespace tq8::core {

int poll_wait_ms(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
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

int write_all(int fd, std::string_view data, const Deadline& deadline) {
    bool socket = true;
    while (!data.empty()) {
        const ssize_t n = socket ? ::send(fd, data.data(), data.size(), MSG_NOSIGNAL)
                                 : ::write(fd, data.data(), data.size());
        if (n >= 0) {
            data.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (errno == ENOTSOCK && socket) {
            socket = false;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            const int ev = wait_fd(fd, POLLOUT, deadline);
            if (ev == 0) return ETIMEDOUT;
            if (ev < 0) return errno;
        } else if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

std::optional<std::string> read_to_end(int fd, std::size_t limit, const Deadline& deadline,
                                       int* why) {
    auto stop = [why](int e) -> std::optional<std::string> {
        if (why) *why = e;
        return std::nullopt;
    };
    std::string text;
    char buf[16384];
    // With a deadline a read only follows a wait, so that a blocking descriptor cannot hold it.
    bool ready = !deadline;
    for (;;) {
        if (!ready) {
            const int ev = wait_fd(fd, POLLIN, deadline);
            if (ev == 0) return stop(ETIMEDOUT);
            if (ev < 0) return stop(errno);
        }
        const ssize_t n = read_some(fd, buf, sizeof buf);
        ready = !deadline;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            ready = false;
            continue;
        }
        if (n < 0) return stop(errno);
        if (n == 0) break;
        text.append(buf, static_cast<std::size_t>(n));
        if (text.size() > limit) return stop(EFBIG);
    }
    if (why) *why = 0;
    return text;
}

std::optional<int> reap_until(pid_t pid, Clock::time_point deadline) {
    UniqueFd exited;
    bool no_pidfd = false;
    for (;;) {
        int st = 0;
        const pid_t r = ::waitpid(pid, &st, WNOHANG);
        if (r == pid) return WIFSIGNALED(st) ? -WTERMSIG(st) : WEXITSTATUS(st);
        if (r < 0 && errno == ECHILD) return 0;
        if (r < 0 && errno != EINTR) return std::nullopt;
        if (poll_wait_ms(deadline) == 0) return std::nullopt;
        // Usually a matter of microseconds: sleep until the child ends or the deadline comes.
#ifdef SYS_pidfd_open
        if (!exited && !no_pidfd) {
            const long fd = ::syscall(SYS_pidfd_open, pid, 0);
            if (fd >= 0) exited = UniqueFd(static_cast<int>(fd));
            else no_pidfd = true;
        }
#endif
        if (exited) wait_fd(exited.get(), POLLIN, deadline);
        else wait_any({}, std::min(deadline, Clock::now() + std::chrono::milliseconds(10)));
    }
}

namespace {

void check_spawn_setup(int e) {
    if (e == 0) return;
    if (e == ENOMEM) throw std::bad_alloc();
    throw std::system_error(e, std::generic_category(), "posix_spawn setup");
}

class FileActions {
public:
    FileActions() { check_spawn_setup(::posix_spawn_file_actions_init(&fa_)); }
    ~FileActions() { ::posix_spawn_file_actions_destroy(&fa_); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    void dup2(int from, int to) {
        check_spawn_setup(::posix_spawn_file_actions_adddup2(&fa_, from, to));
    }
    void open(int fd, const char* path, int flags) {
        check_spawn_setup(::posix_spawn_file_actions_addopen(&fa_, fd, path, flags, 0));
    }
    void closefrom(int lowest) {
        check_spawn_setup(::posix_spawn_file_actions_addclosefrom_np(&fa_, lowest));
    }
    const posix_spawn_file_actions_t* get() const { return &fa_; }

private:
    posix_spawn_file_actions_t fa_;
};

class SpawnAttr {
public:
    SpawnAttr() {
        check_spawn_setup(::posix_spawnattr_init(&attr_));
        // The runtime ignores SIGPIPE and SIGXFSZ and exec keeps ignored signals: a child
        // would otherwise see EPIPE where it expects to die quietly.
        sigset_t dfl;
        sigemptyset(&dfl);
        sigaddset(&dfl, SIGPIPE);
        sigaddset(&dfl, SIGXFSZ);
        sigset_t none;
        sigemptyset(&none);
        check_spawn_setup(::posix_spawnattr_setsigdefault(&attr_, &dfl));
        check_spawn_setup(::posix_spawnattr_setsigmask(&attr_, &none));
        // A group of its own, so that a kill reaches whatever the program started too.
        check_spawn_setup(::posix_spawnattr_setpgroup(&attr_, 0));
        check_spawn_setup(::posix_spawnattr_setflags(
            &attr_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP));
    }
    ~SpawnAttr() { ::posix_spawnattr_destroy(&attr_); }
    SpawnAttr(const SpawnAttr&) = delete;
    SpawnAttr& operator=(const SpawnAttr&) = delete;
    const posix_spawnattr_t* get() const { return &attr_; }

private:
    posix_spawnattr_t attr_;
};

}  // namespace

Child::Child(Child&& o) noexcept : pid_(std::exchange(o.pid_, -1)) {}

Child& Child::operator=(Child&& o) noexcept {
    if (this != &o) {
        if (pid_ > 0) kill_and_reap();
        pid_ = std::exchange(o.pid_, -1);
    }
    return *this;
}

Child::~Child() {
    if (pid_ > 0) kill_and_reap();
}

int Child::spawn(char* const argv[], int out, int err) {
    FileActions fa;
    // Never the caller's standard input: a file it serves could hold every child in its exit
    // (the flush of a descriptor on a user-space file system that never answers).
    fa.open(STDIN_FILENO, "/dev/null", O_RDONLY);
    fa.dup2(out, STDOUT_FILENO);
    fa.dup2(err, STDERR_FILENO);
    fa.closefrom(3);  // nothing else of ours reaches the child, whatever its close-on-exec flag
    SpawnAttr attr;
    pid_t pid = -1;
    if (int e = ::posix_spawnp(&pid, argv[0], fa.get(), attr.get(), argv, environ); e != 0)
        return e;
    *this = Child();
    pid_ = pid;
    return 0;
}

int Child::fork() noexcept {
    const pid_t pid = ::fork();
    if (pid < 0) return errno;
    pid_ = pid;
    return 0;
}

void Child::kill() noexcept {
    if (pid_ <= 0) return;
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
}

std::optional<int> Child::wait(const Deadline& deadline) {
    if (pid_ <= 0) return 0;
    const auto status = reap_until(pid_, deadline.value_or(Clock::time_point::max()));
    if (status) pid_ = -1;
    return status;
}

bool Child::kill_and_reap() noexcept {
    kill();
    const bool reaped = pid_ <= 0 || reap_until(pid_, Clock::now() + kAbandonAfterKill);
    pid_ = -1;
    return reaped;
}

}  // namespace tq8::core
