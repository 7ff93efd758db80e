// The command runner: posix_spawn, both pipes drained under one deadline, strict decoding.
#include "root_helper/core/command_runner.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <system_error>

#include "root_helper/core/records.hpp"
#include "root_helper/core/system_util.hpp"
#include "root_helper/core/text_decode.hpp"
#include "root_helper/core/texts.hpp"
#include "root_helper/core/unique_fd.hpp"

namespace tq8::core {
namespace {

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

// One pipe's capacity by default: a read rarely finds more waiting.
constexpr std::size_t kReadChunk = 64 * 1024;

// Beyond this a limit means nothing, and adding it to the clock could overflow.
constexpr double kLongestLimit = 1e9;

Deadline deadline_after(TimeLimit limit) {
    if (!limit.limited() || !(limit.in_seconds() <= kLongestLimit)) return std::nullopt;
    const auto now = Clock::now();
    if (limit.in_seconds() <= 0) return now;
    return now + std::chrono::duration_cast<Clock::duration>(
                     std::chrono::duration<double>(limit.in_seconds()));
}

bool expired(const Deadline& d) { return d && Clock::now() >= *d; }

// poll()'s wait in milliseconds: -1 without a limit.
int poll_timeout(const Deadline& d) { return d ? poll_wait_ms(*d) : -1; }

// Shaped like the runtime's own OSError text ("[Errno 2] No such file or directory: 'wg'"),
// which is what the graphical application has always shown for a missing program.
std::string cannot_start(int e, std::string_view program) { return errno_text(e, program); }

// The limit as the caller wrote it: 15, not 15.000000.
std::string seconds_text(double seconds) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, seconds, std::chars_format::fixed);
    if (ec != std::errc()) return std::to_string(seconds);
    return std::string(buf, end);
}

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
        // A group of its own, so the time limit can kill whatever the program started too.
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

struct Pipe {
    UniqueFd read;
    UniqueFd write;
};

// 0 or the errno. A helper started with 0, 1 or 2 closed gets those numbers here; that is
// harmless: glibc's dup2 action onto the same number clears close-on-exec, and an end left on 0
// is close-on-exec.
int make_pipe(Pipe& p) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
    p.read = UniqueFd(fds[0]);
    p.write = UniqueFd(fds[1]);
    return 0;
}

// Owns a started child until its exit has been collected or it has been given up on: a Child
// that goes out of scope unreaped kills the child's process group and collects the child, or
// abandons it when it does not die within kAbandonAfterKill (stuck in the kernel), so no path
// leaves a zombie of a child that can die, and none waits for one that cannot.
class Child {
public:
    explicit Child(pid_t pid) noexcept : pid_(pid) {}
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        if (!done_) kill_and_reap();
    }

    // The child itself too: a program that moved to a group of its own must still die.
    void kill_group() noexcept {
        ::kill(-pid_, SIGKILL);
        ::kill(pid_, SIGKILL);
    }

    void kill_and_reap() noexcept {
        kill_group();
        reap_until(pid_, Clock::now() + kAbandonAfterKill);
        done_ = true;
    }

    // Its exit status, or minus the signal number; nullopt once the deadline has passed with
    // the child still running. Without a deadline (a run without a limit, which only a Python
    // caller can ask for) it waits for as long as the child runs.
    std::optional<int> wait_until(const Deadline& d) {
        std::optional<int> status;
        if (d) {
            status = reap_until(pid_, *d);
        } else {
            int st = 0;
            pid_t r;
            while ((r = ::waitpid(pid_, &st, 0)) < 0 && errno == EINTR) {
            }
            status = r == pid_ ? (WIFSIGNALED(st) ? -WTERMSIG(st) : WEXITSTATUS(st)) : 0;
        }
        if (status) done_ = true;
        return status;
    }

private:
    pid_t pid_;
    bool done_ = false;
};

struct Stream {
    UniqueFd fd;
    std::string data;
};

}  // namespace

CommandResult failure_of_shown(std::string_view shown, std::string_view description) {
    std::string err(texts::kRunFailurePrefix);
    err += shown;
    err += "): ";
    err += description;
    return {1, "", std::move(err)};
}

CommandResult failure(const std::vector<std::string>& cmd, std::string_view description) {
    return failure_of_shown(join(cmd), description);
}

CommandResult run_cmd(const std::vector<std::string>& cmd, TimeLimit limit) {
    const Deadline deadline = deadline_after(limit);
    if (cmd.empty()) return failure(cmd, texts::kRunEmptyCommand);
    std::vector<char*> argv;
    argv.reserve(cmd.size() + 1);
    for (const std::string& item : cmd) {
        if (item.find('\0') != std::string::npos) return failure(cmd, texts::kRunNulInArgument);
        argv.push_back(const_cast<char*>(item.c_str()));
    }
    argv.push_back(nullptr);

    Pipe out;
    Pipe err;
    if (int e = make_pipe(out); e != 0) return failure(cmd, errno_text(e));
    if (int e = make_pipe(err); e != 0) return failure(cmd, errno_text(e));

    FileActions fa;
    // Never the caller's standard input: a file it serves could hold every child in its exit
    // (the flush of a descriptor on a user-space file system that never answers).
    fa.open(STDIN_FILENO, "/dev/null", O_RDONLY);
    fa.dup2(out.write.get(), STDOUT_FILENO);
    fa.dup2(err.write.get(), STDERR_FILENO);
    fa.closefrom(3);  // nothing else of ours reaches the child, whatever its close-on-exec flag
    SpawnAttr attr;
    pid_t pid = -1;
    if (int e = ::posix_spawnp(&pid, argv[0], fa.get(), attr.get(), argv.data(), environ); e != 0)
        return failure(cmd, cannot_start(e, cmd[0]));
    Child child(pid);
    // End of file comes only when every write end is closed, ours included.
    out.write.reset();
    err.write.reset();

    auto timed_out = [&] {
        child.kill_and_reap();
        return failure(cmd, texts::run_timed_out(join(cmd), seconds_text(limit.in_seconds())));
    };

    Stream streams[2] = {{std::move(out.read), {}}, {std::move(err.read), {}}};
    const auto buf = std::make_unique_for_overwrite<char[]>(kReadChunk);
    while (streams[0].fd || streams[1].fd) {
        pollfd pfds[2];
        Stream* owners[2];
        nfds_t n = 0;
        for (Stream& s : streams) {
            if (!s.fd) continue;
            pfds[n] = {s.fd.get(), POLLIN, 0};
            owners[n++] = &s;
        }
        if (expired(deadline)) return timed_out();
        if (::poll(pfds, n, poll_timeout(deadline)) < 0) {
            if (errno == EINTR) continue;  // a signal; the deadline is recomputed above
            return failure(cmd, errno_text(errno));
        }
        for (nfds_t i = 0; i < n; ++i) {
            if (pfds[i].revents == 0) continue;
            const ssize_t got = ::read(pfds[i].fd, buf.get(), kReadChunk);
            if (got > 0) {
                owners[i]->data.append(buf.get(), static_cast<std::size_t>(got));
            } else if (got == 0) {
                owners[i]->fd.reset();
            } else if (errno != EINTR && errno != EAGAIN) {
                return failure(cmd, errno_text(errno));
            }
        }
    }

    const std::optional<int> rc = child.wait_until(deadline);
    if (!rc) return timed_out();

    // Standard output first, as the runtime would decode it.
    for (auto [s, name] : {std::pair{&streams[0].data, texts::kRunStdout},
                           std::pair{&streams[1].data, texts::kRunStderr}}) {
        if (decode_output_in_place(*s)) continue;
        const std::size_t at = utf8_error_offset(*s).value_or(0);
        return failure(cmd, texts::run_not_utf8(name, at, static_cast<unsigned char>((*s)[at])));
    }
    return {*rc, std::move(streams[0].data), std::move(streams[1].data)};
}

}  // namespace tq8::core
