// The waits, whole writes and reads, and the child owner against real pipes, sockets and
// processes.
#include "root_helper/core/sys_io.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "root_helper/core/unique_fd.hpp"

namespace tq8::core {
namespace {

using namespace std::chrono_literals;

struct Pair {
    UniqueFd a;  // the read end of a pipe
    UniqueFd b;  // its write end
};

Pair make_pipe(int flags = 0) {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC | flags), 0);
    return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

Pair make_socketpair() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

extern "C" void on_alarm(int) {}

// SIGALRM every 5 ms, without SA_RESTART, for as long as it lives: every wait in between is
// interrupted many times.
class AlarmStorm {
public:
    AlarmStorm() {
        struct sigaction sa {};
        sa.sa_handler = on_alarm;
        ::sigaction(SIGALRM, &sa, &saved_);
        itimerval every{{0, 5000}, {0, 5000}};
        ::setitimer(ITIMER_REAL, &every, nullptr);
    }
    ~AlarmStorm() {
        itimerval off{};
        ::setitimer(ITIMER_REAL, &off, nullptr);
        ::sigaction(SIGALRM, &saved_, nullptr);
    }

private:
    struct sigaction saved_ {};
};

TEST(SysIoWait, PollWaitRoundsUpAndStopsAtZero) {
    const auto now = Clock::now();
    EXPECT_EQ(poll_wait_ms(now - 1s), 0);
    EXPECT_EQ(poll_wait_ms(now), 0);
    const int soon = poll_wait_ms(Clock::now() + 1500us);
    EXPECT_GE(soon, 1);
    EXPECT_LE(soon, 2);
    EXPECT_EQ(poll_wait_ms(now + std::chrono::hours(24 * 365 * 100)), INT_MAX);
}

// Signals neither end a wait early nor make it report an error.
TEST(SysIoWait, SignalsDoNotShortenTheWait) {
    Pair p = make_pipe();
    AlarmStorm storm;
    const auto start = Clock::now();
    EXPECT_EQ(wait_fd(p.a.get(), POLLIN, deadline_in(120ms)), 0);
    EXPECT_GE(Clock::now() - start, 120ms);
    EXPECT_EQ(wait_any({}, deadline_in(30ms)), 0) << "a plain sleep";
    EXPECT_GE(Clock::now() - start, 150ms);
    ASSERT_EQ(::write(p.b.get(), "x", 1), 1);
    EXPECT_EQ(wait_fd(p.a.get(), POLLIN, std::nullopt), POLLIN);
}

TEST(SysIoWrite, WholeTextOrTheReason) {
    struct Case {
        const char* what;
        bool socket;
        bool reader_gone;
        bool reader_drains;
        int want;
    };
    const Case cases[] = {
        {"pipe drained by a slow reader", false, false, true, 0},
        {"socket drained by a slow reader", true, false, true, 0},
        {"pipe nobody reads", false, false, false, ETIMEDOUT},
        {"socket nobody reads", true, false, false, ETIMEDOUT},
        {"pipe whose reader is gone", false, true, false, EPIPE},
        // No SIGPIPE either: the test process would die of it.
        {"socket whose reader is gone", true, true, false, EPIPE},
    };
    const std::string text(1 << 20, 'z');
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Pair p = c.socket ? make_socketpair() : make_pipe(O_NONBLOCK);
        if (c.socket) ::fcntl(p.b.get(), F_SETFL, O_NONBLOCK);
        if (c.reader_gone) p.a.reset();
        std::string got;
        std::thread reader;
        if (c.reader_drains) {
            reader = std::thread([&] {
                std::this_thread::sleep_for(20ms);
                got = read_to_end(p.a.get(), SIZE_MAX, deadline_in(10s)).value_or("failed");
            });
        }
        const sighandler_t before = c.socket ? SIG_DFL : ::signal(SIGPIPE, SIG_IGN);
        EXPECT_EQ(write_all(p.b.get(), text, deadline_in(c.reader_drains ? 10s : 100ms)), c.want);
        if (!c.socket) ::signal(SIGPIPE, before);
        p.b.reset();
        if (reader.joinable()) reader.join();
        if (c.reader_drains) {
            EXPECT_EQ(got, text);
        }
    }
}

TEST(SysIoRead, ToTheEndWithinLimitAndDeadline) {
    struct Case {
        const char* what;
        std::string sent;
        bool writer_stays;  // the write end stays open: no end of file
        bool non_blocking;
        std::size_t limit;
        std::optional<std::string> want;
    };
    const std::string big(100'000, 'b');
    const Case cases[] = {
        {"everything", big, false, false, SIZE_MAX, big},
        {"exactly the limit", "12345", false, false, 5, "12345"},
        {"one byte over the limit", "123456", false, false, 5, std::nullopt},
        {"a writer that never closes", "part", true, false, SIZE_MAX, std::nullopt},
        {"non-blocking, the writer late", "late", false, true, SIZE_MAX, "late"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Pair p = make_pipe(c.non_blocking ? O_NONBLOCK : 0);
        std::thread writer([&] {
            if (c.non_blocking) std::this_thread::sleep_for(30ms);
            EXPECT_EQ(write_all(p.b.get(), c.sent), 0);
            if (!c.writer_stays) p.b.reset();
        });
        const auto start = Clock::now();
        EXPECT_EQ(read_to_end(p.a.get(), c.limit, deadline_in(c.writer_stays ? 100ms : 10s)),
                  c.want);
        EXPECT_LT(Clock::now() - start, 5s);
        writer.join();
    }
}

// A process that has stopped running: gone, or a zombie.
bool running(pid_t pid) {
    if (::kill(pid, 0) != 0) return false;
    std::FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (!f) return false;
    char line[512] = {};
    std::fgets(line, sizeof line, f);
    std::fclose(f);
    const char* state = std::strrchr(line, ')');
    return state && state[2] != 'Z';
}

char* const kSleep[] = {const_cast<char*>("sleep"), const_cast<char*>("30"), nullptr};

TEST(SysIoChild, SpawnWaitAndKill) {
    Pair out = make_pipe();
    char* const exit3[] = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                           const_cast<char*>("echo hi; exit 3"), nullptr};
    Child c;
    ASSERT_EQ(c.spawn(exit3, out.b.get(), out.b.get()), 0);
    out.b.reset();
    EXPECT_EQ(read_to_end(out.a.get()), "hi\n");
    EXPECT_EQ(c.wait(std::nullopt), 3);

    char* const missing[] = {const_cast<char*>("tq8-no-such-program"), nullptr};
    EXPECT_EQ(Child().spawn(missing, 1, 2), ENOENT);

    Child sleeper;
    ASSERT_EQ(sleeper.spawn(kSleep, 2, 2), 0);
    const pid_t pid = sleeper.pid();
    EXPECT_EQ(sleeper.wait(deadline_in(50ms)), std::nullopt) << "still running at the deadline";
    EXPECT_TRUE(running(pid));
    EXPECT_TRUE(sleeper.kill_and_reap());
    EXPECT_FALSE(running(pid));
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1) << "collected, no zombie left";
}

// Every way out of a scope ends the children it owns: started ones and forked ones.
TEST(SysIoChild, OwnerLeavingScopeKillsAndCollects) {
    pid_t spawned = -1;
    pid_t forked = -1;
    {
        Child a;
        ASSERT_EQ(a.spawn(kSleep, 2, 2), 0);
        spawned = a.pid();
        Child b;
        ASSERT_EQ(b.fork(), 0);
        if (b.in_child()) {
            ::pause();
            ::_exit(0);
        }
        forked = b.pid();
        EXPECT_TRUE(running(spawned));
        EXPECT_TRUE(running(forked));
    }
    EXPECT_FALSE(running(spawned));
    EXPECT_FALSE(running(forked));
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST(SysIoChild, ForkReportsTheExitStatusOrTheSignal) {
    for (const int code : {0, 7, -SIGKILL}) {
        Child c;
        ASSERT_EQ(c.fork(), 0);
        if (c.in_child()) {
            if (code < 0) ::raise(-code);
            ::_exit(code);
        }
        EXPECT_EQ(c.wait(deadline_in(10s)), code);
    }
}

}  // namespace
}  // namespace tq8::core
