// run_cmd against real programs (sh, sleep, printf, ls) with short limits.
#include "root_helper/core/command_runner.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace tq8::core {
namespace {

using Argv = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

}  // namespace

// Readable failure messages instead of gtest's byte dump.
void PrintTo(const CommandResult& r, std::ostream* os) {
    *os << "{" << r.rc << ", \"" << r.out << "\", \"" << r.err << "\"}";
}

namespace {

constexpr std::string_view kPrefix = "Komut çalıştırma hatası (";

int open_fd_count() {
    int n = 0;
    DIR* d = ::opendir("/proc/self/fd");
    while (dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
    return n - 1;  // the directory's own descriptor
}

// No child of ours is left, not even a zombie.
bool no_children() {
    int st;
    return ::waitpid(-1, &st, WNOHANG) == -1 && errno == ECHILD;
}

// Gone, or a zombie waiting for a parent that is not us: either way it has stopped running.
bool dead(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;
    const auto state = line.find(") ");
    return state != std::string::npos && (line[state + 2] == 'Z' || line[state + 2] == 'X');
}

bool dies_soon(pid_t pid) {
    for (int i = 0; i < 200 && !dead(pid); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return dead(pid);
}

struct Case {
    Argv cmd;
    CommandResult want;
    TimeLimit limit = TimeLimit::seconds(10);  // generous: the machine may be loaded
};

TEST(RunCmd, OrdinaryResults) {
    const Case cases[] = {
        {{"sh", "-c", "printf 'abc\\n'"}, {0, "abc", ""}},
        {{"sh", "-c", "echo '  usage  '; echo ' bad option ' >&2; exit 2"}, {2, "usage", "bad option"}},
        {{"sh", "-c", "exit 255"}, {255, "", ""}},
        {{"sh", "-c", "kill -TERM $$"}, {-15, "", ""}},
        {{"sh", "-c", "kill -KILL $$"}, {-9, "", ""}},
        {{"/bin/echo", "x"}, {0, "x", ""}},
        {{"printf", "%s|", "a b", "", "ç", "$HOME", "*"}, {0, "a b||ç|$HOME|*|", ""}},
        {{"sh", "-c", "printf 'a\\r\\nb\\rc\\r\\n'; printf 'e\\r\\r' >&2"}, {0, "a\nb\nc", "e"}},
        {{"sh", "-c", "printf ' \\t\\n\\302\\240\\342\\200\\200'; printf '\\r\\n\\r' >&2"}, {0, "", ""}},
        {{"sh", "-c", "printf '\\n  x  y \\n'"}, {0, "x  y", ""}},
        {{"sh", "-c", "printf %s \"$1\" | od -An -tx1", "sh", "\xff\xc3"}, {0, "ff c3", ""}},
    };
    for (const Case& c : cases) EXPECT_EQ(run_cmd(c.cmd, c.limit), c.want) << c.cmd.back();
    EXPECT_TRUE(no_children());
}

TEST(RunCmd, FailureTriples) {
    const std::string nul_arg("a\0b", 3);
    const Case cases[] = {
        {{"tq8-no-such-program", "-x"},
         {1, "", "Komut çalıştırma hatası (tq8-no-such-program -x): [Errno 2] No such file or "
                 "directory: 'tq8-no-such-program'"}},
        {{"/dev/null"},
         {1, "", "Komut çalıştırma hatası (/dev/null): [Errno 13] Permission denied: '/dev/null'"}},
        {{}, {1, "", "Komut çalıştırma hatası (): çalıştırılacak komut boş"}},
        {{"echo", nul_arg},
         {1, "", "Komut çalıştırma hatası (echo " + nul_arg +
                 "): argümanlardan biri NUL baytı içeriyor"}},
        {{"sh", "-c", "printf 'ok\\377'; echo fine >&2"},
         {1, "", "Komut çalıştırma hatası (sh -c printf 'ok\\377'; echo fine >&2): standart çıktı "
                 "geçerli UTF-8 değil (konum 2: 0xff baytı)"}},
        {{"sh", "-c", "echo fine; printf '\\355\\240\\200' >&2"},
         {1, "", "Komut çalıştırma hatası (sh -c echo fine; printf '\\355\\240\\200' >&2): "
                 "standart hata geçerli UTF-8 değil (konum 0: 0xed baytı)"}},
        {{"sleep", "30"},
         {1, "", "Komut çalıştırma hatası (sleep 30): zaman aşımı: 'sleep 30' komutu 0.25 saniye "
                 "içinde bitmedi ve sonlandırıldı"},
         TimeLimit::seconds(0.25)},
    };
    for (const Case& c : cases) EXPECT_EQ(run_cmd(c.cmd, c.limit), c.want);
    EXPECT_TRUE(no_children());
}

TEST(RunCmd, ChildStartsWithNullInputAndDefaultSignals) {
    // The runtime ignores SIGPIPE; a blocked signal would also survive exec.
    struct sigaction ign{}, old_pipe{};
    ign.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ign, &old_pipe);
    sigset_t term, old_mask;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &term, &old_mask);

    EXPECT_EQ(run_cmd({"sh", "-c", "yes | head -c 1"}, TimeLimit::seconds(10)), (CommandResult{0, "y", ""}));
    EXPECT_EQ(run_cmd({"grep", "SigBlk", "/proc/self/status"}, TimeLimit::seconds(10)),
              (CommandResult{0, "SigBlk:\t0000000000000000", ""}));

    ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    ::sigaction(SIGPIPE, &old_pipe, nullptr);

    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    ASSERT_EQ(::write(p[1], "from stdin\n", 11), 11);
    ::close(p[1]);
    const int saved = ::dup(0);
    ::dup2(p[0], 0);
    ::close(p[0]);
    // The caller's input never reaches a child: a file it serves could hold the child's exit.
    EXPECT_EQ(run_cmd({"sh", "-c", "cat; readlink /proc/self/fd/0"}, TimeLimit::seconds(10)),
              (CommandResult{0, "/dev/null", ""}));
    ::dup2(saved, 0);
    ::close(saved);
}

TEST(RunCmd, NoDescriptorButTheStandardOnesReachesTheChild) {
    const int stray = ::fcntl(0, F_DUPFD, 50);  // deliberately not close-on-exec
    ASSERT_GE(stray, 50);
    // ls's own directory descriptor is the 3.
    EXPECT_EQ(run_cmd({"ls", "/proc/self/fd"}, TimeLimit::seconds(10)), (CommandResult{0, "0\n1\n2\n3", ""}));
    ::close(stray);
}

TEST(RunCmd, HelperStartedWithItsStandardDescriptorsClosed) {
    // The pipes then take the numbers 0 to 2 themselves.
    const int saved[3] = {::fcntl(0, F_DUPFD_CLOEXEC, 10), ::fcntl(1, F_DUPFD_CLOEXEC, 10),
                          ::fcntl(2, F_DUPFD_CLOEXEC, 10)};
    CommandResult results[3];
    const Argv cmd = {"sh", "-c", "echo out; echo err >&2; ls /proc/self/fd | tr '\\n' ' '"};
    for (int closed = 0; closed < 3; ++closed) {
        for (int fd = 0; fd <= closed; ++fd) ::close(fd);
        results[closed] = run_cmd(cmd, TimeLimit::seconds(10));
        for (int fd = 0; fd < 3; ++fd) ::dup2(saved[fd], fd);
    }
    for (int fd : saved) ::close(fd);
    // The child's stdin is /dev/null whatever the helper's was, so ls's own directory is the 3.
    for (const CommandResult& r : results) EXPECT_EQ(r, (CommandResult{0, "out\n0 1 2 3", "err"}));
}

TEST(RunCmd, HelperKeepsItsDescriptorCountOverAThousandCalls) {
    const int before = open_fd_count();
    for (int i = 0; i < 1000; ++i) {
        switch (i % 100) {
            case 0: EXPECT_EQ(run_cmd({"sleep", "5"}, TimeLimit::seconds(0.02)).rc, 1); break;
            case 1: EXPECT_EQ(run_cmd({"tq8-no-such-program"}, TimeLimit::seconds(5)).rc, 1); break;
            case 2: EXPECT_EQ(run_cmd({"printf", "\\377"}, TimeLimit::seconds(5)).rc, 1); break;
            case 3: EXPECT_EQ(run_cmd({"false"}, TimeLimit::seconds(5)).rc, 1); break;
            default: ASSERT_EQ(run_cmd({"true"}, TimeLimit::seconds(5)), (CommandResult{0, "", ""})); break;
        }
    }
    EXPECT_EQ(open_fd_count(), before);
    EXPECT_TRUE(no_children());
}

TEST(RunCmd, SixtyFourMebibytesOnBothStreamsAtOnce) {
    const auto r = run_cmd({"sh", "-c",
                            "yes abcdefg | head -c 67108864 & yes abcdefg | head -c 67108864 >&2; "
                            "wait"},
                           TimeLimit::seconds(120));
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out.size(), 67108863u);  // the final line break is trimmed
    EXPECT_EQ(r.err.size(), 67108863u);
    EXPECT_EQ(r.out.substr(0, 16), "abcdefg\nabcdefg\n");
    EXPECT_EQ(r.out, r.err);
}

// How long a call that should end at its limit really took.
double seconds_for(const Argv& cmd, double limit, CommandResult& r) {
    const auto t0 = Clock::now();
    r = run_cmd(cmd, TimeLimit::seconds(limit));
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

TEST(RunCmdTimeLimit, KillsAndReapsWhateverKeepsTheRunGoing) {
    const Argv cases[] = {
        {"sh", "-c", "trap '' TERM INT HUP; while :; do sleep 1; done"},
        {"sh", "-c", "exec >&- 2>&-; sleep 30"},  // closed its pipes, still running
        {"sh", "-c", "echo partial; sleep 30"},
    };
    for (const Argv& cmd : cases) {
        CommandResult r;
        const double took = seconds_for(cmd, 0.3, r);
        EXPECT_EQ(r.rc, 1) << cmd.back();
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(r.err.starts_with(std::string(kPrefix) + "sh -c ")) << r.err;
        EXPECT_NE(r.err.find("0.3 saniye"), std::string::npos) << r.err;
        EXPECT_GE(took, 0.3);
        EXPECT_LT(took, 5.0) << cmd.back();  // not the 30 s the program wanted
        EXPECT_TRUE(no_children());
    }
}

TEST(RunCmdTimeLimit, GrandchildHoldingThePipesDiesWithTheGroup) {
    char path[] = "/tmp/tq8_runner_pids_XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    const std::string script =
        std::string("echo $$ > ") + path + "; sleep 30 & echo $! >> " + path + "; exit 0";
    CommandResult r;
    const double took = seconds_for({"sh", "-c", script}, 0.5, r);
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.err.find("zaman aşımı"), std::string::npos) << r.err;
    EXPECT_LT(took, 5.0);
    EXPECT_TRUE(no_children());

    std::ifstream pids(path);
    pid_t shell = 0, grandchild = 0;
    pids >> shell >> grandchild;
    ::unlink(path);
    ASSERT_GT(grandchild, 0);
    EXPECT_TRUE(dead(shell));
    EXPECT_TRUE(dies_soon(grandchild));
}

TEST(RunCmdTimeLimit, DetachedGrandchildOfASuccessfulRunIsLeftAlone) {
    // A program may legitimately start a daemon; only a run cut off at its limit takes its
    // group down.
    const CommandResult r = run_cmd({"sh", "-c", "sleep 30 >/dev/null 2>&1 & echo $!"}, TimeLimit::seconds(10));
    ASSERT_EQ(r.rc, 0);
    const pid_t daemon = std::stoi(r.out);
    EXPECT_FALSE(dead(daemon));
    ::kill(daemon, SIGKILL);
    EXPECT_TRUE(dies_soon(daemon));
}

TEST(RunCmdTimeLimit, NoneWaitsAndZeroOrLessHasRunOut) {
    EXPECT_EQ(run_cmd({"sh", "-c", "sleep 0.2; echo late"}, TimeLimit::none()), (CommandResult{0, "late", ""}));
    EXPECT_EQ(run_cmd({"sh", "-c", "exec >&-; sleep 0.2; exit 3"}, TimeLimit::none()), (CommandResult{3, "", ""}));
    for (double limit : {0.0, -1.0}) {
        const CommandResult r = run_cmd({"sleep", "5"}, TimeLimit::seconds(limit));
        EXPECT_EQ(r.rc, 1);
        EXPECT_NE(r.err.find("zaman aşımı"), std::string::npos) << r.err;
    }
}

std::atomic<int> g_alarms{0};
void on_alarm(int) {
    g_alarms.fetch_add(1, std::memory_order_relaxed);
    ::kill(::getpid(), SIGWINCH);
}
void on_other(int) {}

TEST(RunCmd, SignalsArrivingDuringTheWaitDoNotBreakIt) {
    struct sigaction act{}, old_alrm{}, old_winch{}, old_chld{};
    sigemptyset(&act.sa_mask);
    act.sa_flags = 0;  // no SA_RESTART: every signal interrupts poll and waitpid
    act.sa_handler = on_alarm;
    ::sigaction(SIGALRM, &act, &old_alrm);
    act.sa_handler = on_other;
    ::sigaction(SIGWINCH, &act, &old_winch);
    ::sigaction(SIGCHLD, &act, &old_chld);
    const itimerval every_ms{{0, 1000}, {0, 1000}};
    ::setitimer(ITIMER_REAL, &every_ms, nullptr);

    EXPECT_EQ(run_cmd({"sh", "-c", "sleep 0.3; echo done; sleep 0.1 & wait"}, TimeLimit::seconds(10)),
              (CommandResult{0, "done", ""}));
    EXPECT_EQ(run_cmd({"sh", "-c", "exec >&- 2>&-; sleep 0.3; exit 4"}, TimeLimit::seconds(10)),
              (CommandResult{4, "", ""}));
    CommandResult r;
    const double took = seconds_for({"sleep", "30"}, 0.3, r);
    EXPECT_EQ(r.rc, 1);
    EXPECT_LT(took, 5.0);  // interruptions must not restart the limit

    const itimerval off{};
    ::setitimer(ITIMER_REAL, &off, nullptr);
    ::sigaction(SIGALRM, &old_alrm, nullptr);
    ::sigaction(SIGWINCH, &old_winch, nullptr);
    ::sigaction(SIGCHLD, &old_chld, nullptr);
    EXPECT_GT(g_alarms.load(), 50);
    EXPECT_TRUE(no_children());
}

}  // namespace
}  // namespace tq8::core
