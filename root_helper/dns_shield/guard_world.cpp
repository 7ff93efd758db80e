// The DNS guard's system world: its signals and self-pipe, the waits on standard input, the
// resolver file, the run lock and the guards' own lock and owner record.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "root_helper/core/op_lock.hpp"
#include "root_helper/core/safe_replace.hpp"
#include "root_helper/core/state_dir.hpp"
#include "root_helper/core/sys_io.hpp"
#include "root_helper/core/system_util.hpp"
#include "root_helper/core/unique_fd.hpp"
#include "root_helper/dns_shield/dns_shield.hpp"

namespace tq8::dns_shield {
namespace {

// What the handlers write to; -1 while no world has its signals armed.
std::atomic<int> g_signal_pipe{-1};
static_assert(std::atomic<int>::is_always_lock_free);

// The dispositions the armed world replaced (one world arms at a time: g_signal_pipe tells),
// for disarming and for the fault path of the handler. A zeroed entry is SIG_DFL.
std::array<struct sigaction, NSIG> g_saved{};

extern "C" void on_ending_signal(int sig, siginfo_t* info, void*) {
    const int saved = errno;
    // Signals the kernel raises for a fault of this process's own: returning from a handler
    // would run the faulting instruction again, forever.
    const bool fault_signal = sig == SIGSEGV || sig == SIGBUS || sig == SIGILL ||
                              sig == SIGFPE || sig == SIGTRAP || sig == SIGSYS;
    if (fault_signal && info != nullptr && info->si_code > 0) {
        // A real fault, not a kill(): hand the signal back to what was there before (the
        // default, or a sanitizer's handler) and let the instruction fault again into it.
        ::sigaction(sig, &g_saved[sig], nullptr);
    } else {
        // With no world armed the write fails on -1, harmlessly.
        const unsigned char b = static_cast<unsigned char>(sig);
        [[maybe_unused]] const ssize_t n = ::write(g_signal_pipe.load(), &b, 1);
    }
    errno = saved;
}

// Every signal whose default action ends the process (terminate or core dump). SIGKILL and
// SIGSTOP cannot be caught; the rest default to being ignored or to stopping.
std::vector<int> ending_signals() {
    std::vector<int> sigs = {SIGHUP,  SIGINT,  SIGQUIT,   SIGILL,  SIGTRAP, SIGABRT, SIGBUS,
                             SIGFPE,  SIGUSR1, SIGSEGV,   SIGUSR2, SIGPIPE, SIGALRM, SIGTERM,
                             SIGSTKFLT, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO, SIGPWR,
                             SIGSYS};
    for (int s = SIGRTMIN; s <= SIGRTMAX; ++s) sigs.push_back(s);
    return sigs;
}

constexpr const char* kGuardLockName = "guard.lock";
constexpr const char* kOwnerName = "redirect-owner";

// The real world: one may have its signals armed in a process at a time.
class SystemGuardWorld final : public GuardWorld {
public:
    SystemGuardWorld(int stdin_fd, std::string resolv_path, std::string lock_path,
                     std::string state_dir)
        : stdin_fd_(stdin_fd),
          resolv_path_(std::move(resolv_path)),
          lock_path_(std::move(lock_path)),
          state_dir_(std::move(state_dir)) {}

    ~SystemGuardWorld() override { disarm_signals(); }

    std::string resolv_conf() override { return core::read_whole_file(resolv_path_).value_or(""); }

    bool iptables_on_path() override { return core::on_path("iptables"); }

    void arm_signals() override {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
            throw std::system_error(errno, std::system_category(), "pipe2");
        core::UniqueFd read_end(fds[0]);
        core::UniqueFd write_end(fds[1]);
        int expected = -1;
        if (!g_signal_pipe.compare_exchange_strong(expected, write_end.get()))
            throw std::logic_error("another DNS guard already watches this process's signals");
        signal_read_ = std::move(read_end);
        signal_write_ = std::move(write_end);

        struct sigaction catcher{};
        catcher.sa_sigaction = on_ending_signal;
        sigfillset(&catcher.sa_mask);
        // No SA_RESTART: a blocking call in the guard returns EINTR and the wait that follows
        // sees the self-pipe.
        catcher.sa_flags = SA_SIGINFO;
        struct sigaction ignore{};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        // The handler reads a signal's saved disposition only once it is in place for that
        // signal, which is after the disposition was saved.
        for (int sig : ending_signals()) {
            ::sigaction(sig, nullptr, &g_saved[sig]);
            // A signal the starter chose to ignore (nohup, a background job) stays ignored.
            // SIGPIPE would end the guard with the rule in place when the application stops
            // reading; a failed write is handled where it happens.
            if (g_saved[sig].sa_handler == SIG_IGN) continue;
            ::sigaction(sig, sig == SIGPIPE ? &ignore : &catcher, nullptr);
        }
    }

    int disarm_signals() override {
        if (!signal_read_) return 0;
        for (int sig : ending_signals()) ::sigaction(sig, &g_saved[sig], nullptr);
        g_signal_pipe.store(-1);
        const int pending = take_signal();
        signal_read_.reset();
        signal_write_.reset();
        return pending;
    }

    WaitEvent wait_input(std::chrono::milliseconds limit) override {
        if (stdin_fd_ < 0) throw std::system_error(EBADF, std::system_category(), "standard input");
        return wait(stdin_fd_, limit);
    }

    int pause(std::chrono::milliseconds limit) override { return wait(-1, limit).signal; }

    std::unique_ptr<core::OpLock> lock_operations(std::chrono::milliseconds wait) override {
        return lock_path_.empty() ? nullptr : std::make_unique<core::OpLock>(lock_path_, wait);
    }

    // Without a state dir (an empty descriptor) every *at() call on it below fails: no guards'
    // lock, no record.
    core::UniqueFd lock_guards(std::chrono::milliseconds wait) override {
        const core::UniqueFd dir = core::open_state_dir(state_dir_);
        core::UniqueFd fd = core::open_lock_file(dir.get(), kGuardLockName);
        if (!fd || core::lock_file_within(fd.get(), wait) != core::OpLock::State::kOwner) return {};
        return fd;
    }

    void claim_redirect() override {
        const core::UniqueFd dir = core::open_state_dir(state_dir_);
        const auto me = core::process_identity(::getpid());
        if (me && core::replace_file(dir.get(), kOwnerName, *me + "\n", {}) == 0) return;
        // No record rather than an old one: an older guard's name would keep our rule in place.
        ::unlinkat(dir.get(), kOwnerName, 0);
    }

    bool redirect_is_ours() override {
        const core::UniqueFd fd(::openat(core::open_state_dir(state_dir_).get(), kOwnerName,
                                         O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        if (!fd) return true;
        // A record is "<pid> <start time>\n"; anything longer is not one of ours. Nothing there
        // may make the clean-up wait: what is not ready at once is no record.
        std::string owner = core::read_to_end(fd.get(), 64, core::Clock::now()).value_or("");
        if (owner.empty()) return true;
        if (owner.back() == '\n') owner.pop_back();
        if (owner == core::process_identity(::getpid())) return true;
        // Another name: ours only when that guard is gone (killed before its clean-up), which
        // its start time tells even when its pid has been given to another process since.
        const pid_t pid = static_cast<pid_t>(std::atoi(owner.c_str()));
        return pid <= 0 || core::process_identity(pid) != owner;
    }

    void drop_claim() override {
        ::unlinkat(core::open_state_dir(state_dir_).get(), kOwnerName, 0);
    }

private:
    int take_signal() {
        unsigned char b = 0;
        return core::read_some(signal_read_.get(), &b, 1) == 1 ? b : 0;
    }

    // Waits up to limit for a caught signal or, when input_fd is one, for input, which is read
    // and thrown away.
    WaitEvent wait(int input_fd, std::chrono::milliseconds limit) {
        const core::Deadline deadline = core::deadline_in(limit);
        char buf[4096];
        for (;;) {
            pollfd fds[2] = {{input_fd, POLLIN, 0}, {signal_read_.get(), POLLIN, 0}};
            const int n = core::wait_any(fds, deadline);
            if (n < 0) throw std::system_error(errno, std::system_category(), "poll");
            if (n == 0) return {WaitEvent::kTimeout, 0};
            const int sig = fds[1].revents != 0 ? take_signal() : 0;
            if (sig != 0) return {WaitEvent::kSignal, sig};
            if (fds[0].revents & POLLNVAL)
                throw std::system_error(EBADF, std::system_category(), "standard input");
            if (fds[0].revents != 0) {
                // POLLHUP without data means the writer is gone: read() then returns 0.
                const ssize_t r = core::read_some(input_fd, buf, sizeof buf);
                if (r > 0) return {WaitEvent::kInput, 0};
                if (r == 0) return {WaitEvent::kEnd, 0};
                if (errno == EAGAIN || errno == EWOULDBLOCK) continue;
                throw std::system_error(errno, std::system_category(), "standard input");
            }
        }
    }

    int stdin_fd_;
    std::string resolv_path_;
    std::string lock_path_;
    std::string state_dir_;
    core::UniqueFd signal_read_;  // the self-pipe the handlers write to while armed
    core::UniqueFd signal_write_;
};

}  // namespace

std::unique_ptr<GuardWorld> system_guard_world(int stdin_fd, std::string resolv_path,
                                               std::string lock_path, std::string state_dir) {
    return std::make_unique<SystemGuardWorld>(stdin_fd, std::move(resolv_path),
                                              std::move(lock_path), std::move(state_dir));
}

bool write_line_within(int fd, std::string_view line, std::chrono::milliseconds limit) {
    const core::Deadline deadline = core::deadline_in(limit);
    struct stat st{};
    if (::fstat(fd, &st) != 0) {
        if (errno == EBADF) return false;
        throw std::system_error(errno, std::system_category(), "standard output");
    }
    // Non-blocking without touching the caller's descriptor, whose open file may be shared
    // with other processes: a pipe gets a description of its own; anything else is switched
    // for the duration of the write and switched back.
    core::UniqueFd own;
    if (S_ISFIFO(st.st_mode))
        own = core::UniqueFd(::open(("/proc/self/fd/" + std::to_string(fd)).c_str(),
                                    O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    const int flags = own ? -1 : ::fcntl(fd, F_GETFL);
    const bool switched = flags >= 0 && !(flags & O_NONBLOCK) &&
                          ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
    // A reader that takes no line in time is as good as gone.
    const int e = core::write_all(own ? own.get() : fd, std::string(line) + '\n', deadline);
    if (switched) ::fcntl(fd, F_SETFL, flags);
    if (e == 0) return true;
    if (e == EPIPE || e == ETIMEDOUT) return false;
    throw std::system_error(e, std::system_category(), "standard output");
}

}  // namespace tq8::dns_shield
