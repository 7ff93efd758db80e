// The DNS guard's system world: its signals and self-pipe, the waits on standard input, the
// resolver file, the run lock and the guards' own lock and owner record.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

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

// The dispositions the armed world replaced, for the fault path of the handler.
std::atomic<const struct sigaction*> g_saved_actions{nullptr};

// Signals the kernel raises for a fault of this process's own: returning from a handler
// would run the faulting instruction again, forever.
bool is_fault_signal(int sig) {
    return sig == SIGSEGV || sig == SIGBUS || sig == SIGILL || sig == SIGFPE || sig == SIGTRAP ||
           sig == SIGSYS;
}

extern "C" void on_ending_signal(int sig, siginfo_t* info, void*) {
    int saved = errno;
    if (is_fault_signal(sig) && info != nullptr && info->si_code > 0) {
        // A real fault, not a kill(): hand the signal back to what was there before (the
        // default, or a sanitizer's handler) and let the instruction fault again into it.
        const struct sigaction* before = g_saved_actions.load();
        struct sigaction dfl{};
        dfl.sa_handler = SIG_DFL;
        ::sigaction(sig, before ? &before[sig] : &dfl, nullptr);
        errno = saved;
        return;
    }
    int fd = g_signal_pipe.load();
    if (fd >= 0) {
        unsigned char b = static_cast<unsigned char>(sig);
        [[maybe_unused]] ssize_t n = ::write(fd, &b, 1);
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

}  // namespace

SystemGuardWorld::SystemGuardWorld(int stdin_fd, std::string resolv_path, std::string lock_path,
                                   std::string state_dir)
    : stdin_fd_(stdin_fd),
      resolv_path_(std::move(resolv_path)),
      lock_path_(std::move(lock_path)),
      state_dir_(std::move(state_dir)) {}

std::unique_ptr<core::OpLock> SystemGuardWorld::lock_operations(std::chrono::milliseconds wait) {
    if (lock_path_.empty()) return nullptr;
    return std::make_unique<core::OpLock>(lock_path_, wait);
}

namespace {

constexpr const char* kGuardLockName = "guard.lock";
constexpr const char* kOwnerName = "redirect-owner";
constexpr const char* kOwnerNewName = ".redirect-owner.new";

}  // namespace

core::UniqueFd SystemGuardWorld::lock_guards(std::chrono::milliseconds wait) {
    core::UniqueFd dir = core::open_state_dir(state_dir_);
    if (!dir) return {};
    core::UniqueFd fd = core::open_lock_file(dir.get(), kGuardLockName);
    if (!fd || core::lock_file_within(fd.get(), wait) != core::OpLock::State::kOwner) return {};
    return fd;
}

void SystemGuardWorld::claim_redirect() {
    core::UniqueFd dir = core::open_state_dir(state_dir_);
    if (!dir) return;
    const auto me = core::process_identity(::getpid());
    core::UniqueFd fd(::openat(dir.get(), kOwnerNewName,
                               O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
    bool ok = me && fd && core::write_all(fd.get(), *me + "\n") == 0;
    if (fd && ::close(fd.release()) != 0) ok = false;
    if (ok && ::renameat(dir.get(), kOwnerNewName, dir.get(), kOwnerName) == 0) return;
    // No record rather than an old one: an older guard's name would keep our rule in place.
    ::unlinkat(dir.get(), kOwnerNewName, 0);
    ::unlinkat(dir.get(), kOwnerName, 0);
}

bool SystemGuardWorld::redirect_is_ours() {
    core::UniqueFd dir = core::open_state_dir(state_dir_);
    if (!dir) return true;
    core::UniqueFd fd(::openat(dir.get(), kOwnerName, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
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

void SystemGuardWorld::drop_claim() {
    if (core::UniqueFd dir = core::open_state_dir(state_dir_)) ::unlinkat(dir.get(), kOwnerName, 0);
}

SystemGuardWorld::~SystemGuardWorld() {
    if (signal_read_) disarm_signals();
}

std::string SystemGuardWorld::resolv_conf() {
    return core::read_whole_file(resolv_path_).value_or(std::string());
}

bool SystemGuardWorld::iptables_on_path() { return core::on_path("iptables"); }

void SystemGuardWorld::arm_signals() {
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
    for (int sig : ending_signals()) ::sigaction(sig, nullptr, &saved_[sig]);
    g_saved_actions.store(saved_.data());
    for (int sig : ending_signals()) {
        // A signal the starter chose to ignore (nohup, a background job) stays ignored.
        // SIGPIPE would end the guard with the rule in place when the application stops
        // reading; a failed write is handled where it happens.
        if (saved_[sig].sa_handler == SIG_IGN) continue;
        ::sigaction(sig, sig == SIGPIPE ? &ignore : &catcher, nullptr);
    }
}

int SystemGuardWorld::disarm_signals() {
    if (!signal_read_) return 0;
    for (int sig : ending_signals()) ::sigaction(sig, &saved_[sig], nullptr);
    g_saved_actions.store(nullptr);
    g_signal_pipe.store(-1);
    const int pending = take_signal();
    signal_read_.reset();
    signal_write_.reset();
    return pending;
}

int SystemGuardWorld::take_signal() {
    unsigned char b = 0;
    return core::read_some(signal_read_.get(), &b, 1) == 1 ? b : 0;
}

WaitEvent SystemGuardWorld::wait_input(std::chrono::milliseconds limit) {
    if (stdin_fd_ < 0) throw std::system_error(EBADF, std::system_category(), "standard input");
    const core::Deadline deadline = core::deadline_in(limit);
    char buf[4096];
    for (;;) {
        pollfd fds[2] = {{stdin_fd_, POLLIN, 0}, {signal_read_.get(), POLLIN, 0}};
        const int n = core::wait_any(fds, deadline);
        if (n < 0) throw std::system_error(errno, std::system_category(), "poll");
        if (n == 0) return {WaitEvent::kTimeout, 0};
        if (fds[1].revents != 0) {
            if (int sig = take_signal()) return {WaitEvent::kSignal, sig};
        }
        if (fds[0].revents & POLLNVAL)
            throw std::system_error(EBADF, std::system_category(), "standard input");
        if (fds[0].revents != 0) {
            // POLLHUP without data means the writer is gone: read() then returns 0.
            const ssize_t r = core::read_some(stdin_fd_, buf, sizeof buf);
            if (r > 0) return {WaitEvent::kInput, 0};
            if (r == 0) return {WaitEvent::kEnd, 0};
            if (errno == EAGAIN || errno == EWOULDBLOCK) continue;
            throw std::system_error(errno, std::system_category(), "standard input");
        }
    }
}

int SystemGuardWorld::pause(std::chrono::milliseconds limit) {
    const core::Deadline deadline = core::deadline_in(limit);
    for (;;) {
        const int ev = core::wait_fd(signal_read_.get(), POLLIN, deadline);
        if (ev < 0) throw std::system_error(errno, std::system_category(), "poll");
        if (ev == 0) return 0;
        if (int sig = take_signal()) return sig;
    }
}

bool write_line_within(int fd, std::string_view line, std::chrono::milliseconds limit) {
    const core::Deadline deadline = core::deadline_in(limit);
    std::string text(line);
    text += '\n';
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
    struct FlagsBack {
        int fd, flags;
        ~FlagsBack() {
            if (flags >= 0) ::fcntl(fd, F_SETFL, flags);
        }
    } back{fd, -1};
    if (!own) {
        int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0 && !(flags & O_NONBLOCK) && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0)
            back.flags = flags;
    }
    // A reader that takes no line in time is as good as gone.
    const int e = core::write_all(own ? own.get() : fd, text, deadline);
    if (e == 0) return true;
    if (e == EPIPE || e == ETIMEDOUT) return false;
    throw std::system_error(e, std::system_category(), "standard output");
}

}  // namespace tq8::dns_shield
