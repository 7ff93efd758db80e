// The helper's one way to wait for a descriptor, write all of a text, read to the end and own a
// child process, each against a deadline. A signal that interrupts a wait is handled here, by
// waiting again for the time that is left, and nowhere else.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tq8::core {

using Clock = std::chrono::steady_clock;
// The moment a wait must end by; nullopt: no limit.
using Deadline = std::optional<Clock::time_point>;

// The deadline d from now.
inline Deadline deadline_in(Clock::duration d) { return Clock::now() + d; }

// poll()'s wait in milliseconds until deadline: 0 once it has passed, otherwise rounded up so
// that the wait never ends before the deadline (and never spins on zero-length waits), at most
// INT_MAX.
int poll_wait_ms(Clock::time_point deadline);

// Waits until one of fds has an event or the deadline passes: the number of descriptors with
// events (their revents set), 0 when the deadline passed first, -1 with errno when poll()
// fails. No descriptors: sleeps until the deadline.
int wait_any(std::span<pollfd> fds, const Deadline& deadline);

// wait_any for one descriptor: its revents (POLLHUP, POLLERR and POLLNVAL included), 0 when
// the deadline passed first, -1 with errno when poll() fails.
int wait_fd(int fd, short events, const Deadline& deadline);

// One read() of at most n bytes, again when a signal interrupted it before any byte came: what
// read() returns (-1 with errno, EAGAIN included). Async-signal-safe.
ssize_t read_some(int fd, void* buf, std::size_t n) noexcept;

// Writes all of data to fd, waiting for room when fd is non-blocking. 0, or the errno: EPIPE
// when the reader has gone, ETIMEDOUT when the deadline passed first. A socket never raises
// SIGPIPE (MSG_NOSIGNAL); for a pipe the process's own disposition counts (the runtime, and
// the armed guard, ignore it).
int write_all(int fd, std::string_view data, const Deadline& deadline = std::nullopt);

// Everything left to read from fd; nullopt when a read fails, more than limit bytes come or
// the deadline passes first.
std::optional<std::string> read_to_end(int fd, std::size_t limit = SIZE_MAX,
                                       const Deadline& deadline = std::nullopt);

// How long a child gets to die after SIGKILL before it is abandoned: a process stuck in a
// request to a user-space file system that never answers does not die at all, and waiting for
// it would hand the caller who serves that file the helper's time (and its run lock).
inline constexpr std::chrono::seconds kAbandonAfterKill{1};

// The one owner of a child process until its exit has been collected or it has been given up
// on: a Child that goes out of scope unreaped kills the child (and its process group) and
// collects it, or abandons it when it does not die within kAbandonAfterKill, so no path leaves
// a zombie of a child that can die, and none waits for one that cannot.
class Child {
public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() { kill_and_reap(); }

    // On a Child that owns nothing yet: starts argv[0] (looked up on PATH when it has no "/")
    // without a shell: /dev/null as its input, out and err as its output and error, no other
    // descriptor of ours, SIGPIPE and SIGXFSZ at their defaults, no signal blocked, and a
    // process group of its own. 0 or the errno (a setup failure of posix_spawn throws
    // std::bad_alloc or std::system_error).
    int spawn(char* const argv[], int out, int err);

    // On a Child that owns nothing yet: fork(), 0 or the errno. In the new process in_child()
    // is true; it may call only async-signal-safe functions and must end with _exit.
    int fork() noexcept;
    bool in_child() const noexcept { return pid_ == 0; }
    pid_t pid() const noexcept { return pid_; }

    // Its exit status, or minus the signal number; nullopt once the deadline has passed with
    // the child still running (no deadline: waits for as long as it runs).
    std::optional<int> wait(const Deadline& deadline);

    // SIGKILL to the child's process group and to the child itself (a program that moved to
    // a group of its own must still die), then waits up to kAbandonAfterKill: false when the
    // child was abandoned.
    bool kill_and_reap() noexcept;

private:
    pid_t pid_ = -1;  // -1: nothing to own (never started, collected or abandoned)
};

}  // namespace tq8::core
