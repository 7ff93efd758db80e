// dns_guard: keeps the stub-to-shield redirect in place while the application and the shield
// live, and always takes it away again on the way out.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <system_error>

#include "root_helper/core/constants.hpp"
#include "root_helper/core/system_util.hpp"
#include "root_helper/core/texts.hpp"
#include "root_helper/core/unique_fd.hpp"
#include "root_helper/dns_shield/dns_shield.hpp"

namespace tq8::dns_shield {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kInputWait = 5s;
constexpr auto kGraceWait = 2s;
// At most one check a second comes from input: a chatty or broken writer (or /dev/zero) must
// not turn the watch into a loop of probes.
constexpr auto kInputSpacing = 1s;

bool shield_healthy(Seams& seams) {
    return seams.shield_listening() && seams.shield_answers();
}

// Both steps run even when the removal throws: a cache filled through the shield must not
// outlive the redirect. Under the run lock, like every other change to the firewall, but
// waited for only so long: a run held up by its caller must not keep every program's DNS on
// a shield that is gone. The redirect stays when a guard started since owns it now.
void clean_up(core::CommandRunner& runner, Seams& seams, GuardWorld& world) {
    std::unique_ptr<core::OpLock> lock = world.lock_operations(kCleanUpLockWait);
    core::UniqueFd guards = world.lock_guards(kCleanUpLockWait);
    std::exception_ptr failure;
    try {
        if (world.redirect_is_ours()) {
            seams.remove_dns_redirect();
            world.drop_claim();
        }
    } catch (...) {
        failure = std::current_exception();
    }
    runner.run(core::kFlushResolverCachesCmd);
    if (failure) std::rethrow_exception(failure);
}

// Keeps the termination signals caught for as long as the rule may be in place, and gives
// them back on every way out, exceptions included.
class ArmedSignals {
public:
    explicit ArmedSignals(GuardWorld& world) : world_(world) { world_.arm_signals(); }
    ~ArmedSignals() {
        if (armed_) world_.disarm_signals();
    }
    int disarm() {
        armed_ = false;
        return world_.disarm_signals();
    }
private:
    GuardWorld& world_;
    bool armed_ = true;
};

// The watch loop. Returns the signal that ended it, or 0 for the end of input or a shield
// that failed two checks in a row.
int watch(Seams& seams, GuardWorld& world) {
    auto last_check = world.now() - kInputSpacing;  // the first arrival is checked at once
    for (;;) {
        WaitEvent ev = world.wait_input(kInputWait);
        if (ev.kind == WaitEvent::kEnd) return 0;
        if (ev.kind == WaitEvent::kSignal) return ev.signal;
        if (ev.kind == WaitEvent::kInput) {
            // Input that comes sooner than a second after the last check is coalesced: the
            // check waits out the rest of that second, and input is not read meanwhile, so
            // a flood costs one read and one check a second.
            const auto due = last_check + kInputSpacing;
            const auto now = world.now();
            if (now < due) {
                if (int sig = world.pause(std::chrono::ceil<std::chrono::milliseconds>(due - now)))
                    return sig;
            }
        }
        last_check = world.now();
        if (shield_healthy(seams)) continue;
        // One miss is forgiven: a shield reloading its block list may be briefly slow.
        if (int sig = world.pause(kGraceWait)) return sig;
        if (shield_healthy(seams)) continue;
        return 0;
    }
}

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

GuardOutcome dns_guard(core::CommandRunner& runner, Seams& seams, LineSink& out,
                       GuardWorld& world) {
    // A plain substring search: the marker counts wherever it stands, comments included.
    if (world.resolv_conf().find("nameserver " + core::STUB_DNS) == std::string::npos) {
        out.write_line(texts::kGuardNoResolved);
        return {kGuardNoResolved, 0};
    }
    if (!world.iptables_on_path()) {
        out.write_line(texts::kGuardNoIptables);
        return {kGuardNoIptables, 0};
    }

    // The install is one change to the firewall, serialised with the helper's other runs.
    // The lock is given back before the ready line: the watch lasts as long as the VPN
    // session, and dns-off, the reset or another action must not wait for it that long.
    std::unique_ptr<core::OpLock> install_lock = world.lock_operations(core::kOpLockNoLimit);
    core::UniqueFd guards = world.lock_guards(core::kOpLockNoLimit);
    auto unlock = [&] {
        guards.reset();
        install_lock.reset();
    };
    // Copies left by a guard that was killed before its clean-up. Before the shield check:
    // with no shield, a stale redirect sends every program's DNS to a dead port (or to
    // whoever binds it next), so even a guard that cannot start must not leave it.
    seams.remove_dns_redirect();
    if (!seams.shield_listening()) {
        unlock();
        out.write_line(texts::kGuardNoShield);
        return {kGuardNoShield, 0};
    }

    ArmedSignals armed(world);
    int sig = 0;
    try {
        // Claimed before the insert: there is no moment when our rule stands with another
        // guard's name on it.
        world.claim_redirect();
        core::CommandResult ins = runner.run(redirect_command("-I"));
        if (ins.rc != 0) {
            unlock();
            out.write_line(std::string(texts::kGuardInsertFailedPrefix) + ins.err);
            return {kGuardInsertFailed, armed.disarm()};
        }
        runner.run(core::kFlushResolverCachesCmd);
        unlock();
        // A reader that is already gone will never close our input on purpose: treat it
        // like the end of input instead of leaving the redirect behind.
        if (out.write_line(texts::kGuardReady)) sig = watch(seams, world);
    } catch (...) {
        try {
            clean_up(runner, seams, world);
        } catch (...) {
            // The first failure is the one worth reporting.
        }
        throw;
    }
    clean_up(runner, seams, world);
    int late = armed.disarm();
    return {kGuardWatched, sig != 0 ? sig : late};
}

GuardOutcome dns_guard(core::CommandRunner& runner, Seams& seams, LineSink& out,
                       int stdin_fd) {
    SystemGuardWorld world(stdin_fd);
    return dns_guard(runner, seams, out, world);
}

SystemGuardWorld::SystemGuardWorld(int stdin_fd, std::string resolv_path, std::string lock_path,
                                   std::string state_dir)
    : stdin_fd_(stdin_fd),
      resolv_path_(std::move(resolv_path)),
      lock_path_(std::move(lock_path)),
      state_dir_(std::move(state_dir)) {}

std::unique_ptr<core::OpLock> SystemGuardWorld::lock_operations(std::chrono::milliseconds wait) {
    if (lock_path_.empty()) return nullptr;
    return std::make_unique<core::OpLock>(lock_path_, wait, false);
}

namespace {

constexpr const char* kGuardLockName = "guard.lock";
constexpr const char* kOwnerName = "redirect-owner";
constexpr const char* kOwnerNewName = ".redirect-owner.new";

}  // namespace

core::UniqueFd SystemGuardWorld::lock_guards(std::chrono::milliseconds wait) {
    if (state_dir_.empty()) return {};
    core::UniqueFd dir = core::open_state_dir(state_dir_);
    if (!dir) return {};
    core::UniqueFd fd(::openat(dir.get(), kGuardLockName,
                               O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY,
                               0600));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
    if (core::lock_file_within(fd.get(), wait) != core::OpLock::State::kOwner) return {};
    return fd;
}

void SystemGuardWorld::claim_redirect() {
    if (state_dir_.empty()) return;
    core::UniqueFd dir = core::open_state_dir(state_dir_);
    if (!dir) return;
    const auto me = core::process_identity(::getpid());
    core::UniqueFd fd(::openat(dir.get(), kOwnerNewName,
                               O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
    bool ok = me && fd;
    if (ok) {
        const std::string text = *me + "\n";
        ok = ::write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }
    if (fd && ::close(fd.release()) != 0) ok = false;
    if (ok && ::renameat(dir.get(), kOwnerNewName, dir.get(), kOwnerName) == 0) return;
    // No record rather than an old one: an older guard's name would keep our rule in place.
    ::unlinkat(dir.get(), kOwnerNewName, 0);
    ::unlinkat(dir.get(), kOwnerName, 0);
}

bool SystemGuardWorld::redirect_is_ours() {
    if (state_dir_.empty()) return true;
    core::UniqueFd dir = core::open_state_dir(state_dir_);
    if (!dir) return true;
    core::UniqueFd fd(::openat(dir.get(), kOwnerName, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd) return true;
    char buf[64];
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n <= 0) return true;
    std::string owner(buf, static_cast<std::size_t>(n));
    if (!owner.empty() && owner.back() == '\n') owner.pop_back();
    if (owner == core::process_identity(::getpid())) return true;
    // Another name: ours only when that guard is gone (killed before its clean-up), which
    // its start time tells even when its pid has been given to another process since.
    const pid_t pid = static_cast<pid_t>(std::atoi(owner.c_str()));
    return pid <= 0 || core::process_identity(pid) != owner;
}

void SystemGuardWorld::drop_claim() {
    if (state_dir_.empty()) return;
    if (core::UniqueFd dir = core::open_state_dir(state_dir_)) ::unlinkat(dir.get(), kOwnerName, 0);
}

SystemGuardWorld::~SystemGuardWorld() {
    if (signal_read_ >= 0) disarm_signals();
}

std::string SystemGuardWorld::resolv_conf() {
    return core::read_whole_file(resolv_path_).value_or(std::string());
}

bool SystemGuardWorld::iptables_on_path() { return core::on_path("iptables"); }

void SystemGuardWorld::arm_signals() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::system_error(errno, std::system_category(), "pipe2");
    int expected = -1;
    if (!g_signal_pipe.compare_exchange_strong(expected, fds[1])) {
        ::close(fds[0]);
        ::close(fds[1]);
        throw std::logic_error("another DNS guard already watches this process's signals");
    }
    signal_read_ = fds[0];
    signal_write_ = fds[1];

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
    if (signal_read_ < 0) return 0;
    for (int sig : ending_signals()) ::sigaction(sig, &saved_[sig], nullptr);
    g_saved_actions.store(nullptr);
    g_signal_pipe.store(-1);
    int pending = take_signal();
    ::close(signal_read_);
    ::close(signal_write_);
    signal_read_ = signal_write_ = -1;
    return pending;
}

int SystemGuardWorld::take_signal() {
    unsigned char b = 0;
    for (;;) {
        ssize_t n = ::read(signal_read_, &b, 1);
        if (n == 1) return b;
        if (n < 0 && errno == EINTR) continue;
        return 0;
    }
}

WaitEvent SystemGuardWorld::wait_input(std::chrono::milliseconds limit) {
    if (stdin_fd_ < 0) throw std::system_error(EBADF, std::system_category(), "standard input");
    const auto deadline = Clock::now() + limit;
    char buf[4096];
    for (;;) {
        pollfd fds[2] = {{stdin_fd_, POLLIN, 0}, {signal_read_, POLLIN, 0}};
        int n = ::poll(fds, 2, core::poll_wait_ms(deadline));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw std::system_error(errno, std::system_category(), "poll");
        if (n == 0) return {WaitEvent::kTimeout, 0};
        if (fds[1].revents != 0) {
            if (int sig = take_signal()) return {WaitEvent::kSignal, sig};
        }
        if (fds[0].revents & POLLNVAL)
            throw std::system_error(EBADF, std::system_category(), "standard input");
        if (fds[0].revents != 0) {
            // POLLHUP without data means the writer is gone: read() then returns 0.
            ssize_t r = ::read(stdin_fd_, buf, sizeof buf);
            if (r > 0) return {WaitEvent::kInput, 0};
            if (r == 0) return {WaitEvent::kEnd, 0};
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            throw std::system_error(errno, std::system_category(), "standard input");
        }
    }
}

int SystemGuardWorld::pause(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        pollfd fd{signal_read_, POLLIN, 0};
        int n = ::poll(&fd, 1, core::poll_wait_ms(deadline));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw std::system_error(errno, std::system_category(), "poll");
        if (n == 0) return 0;
        if (int sig = take_signal()) return sig;
    }
}

}  // namespace tq8::dns_shield

namespace tq8::dns_shield {

bool write_line_within(int fd, std::string_view line, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
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
    const int wfd = own ? own.get() : fd;
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
    std::string_view rest = text;
    while (!rest.empty()) {
        ssize_t n = ::write(wfd, rest.data(), rest.size());
        if (n > 0) {
            rest.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EPIPE) return false;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            throw std::system_error(errno, std::system_category(), "standard output");
        pollfd p{wfd, POLLOUT, 0};
        int r = ::poll(&p, 1, core::poll_wait_ms(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) throw std::system_error(errno, std::system_category(), "poll");
        if (r == 0) return false;  // a reader that takes no line is as good as gone
        if (p.revents & (POLLERR | POLLNVAL)) return false;
    }
    return true;
}

}  // namespace tq8::dns_shield
