// dns_guard: start checks, install, the watch loop and the clean-up, with a scripted world;
// then the real world's input, PATH and signal handling.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "fake_runner.hpp"
#include "scratch_dir.hpp"
#include "root_helper/dns_shield/dns_shield.hpp"

namespace tq8::dns_shield {
namespace {

using namespace std::chrono_literals;
using Argv = std::vector<std::string>;
using Journal = std::vector<std::string>;

const Argv kInsert = {"iptables", "-w", "5", "-t", "nat", "-I", "OUTPUT", "-p", "udp", "-d",
                      "127.0.0.53", "--dport", "53", "-j", "DNAT", "--to-destination",
                      "127.0.0.1:5354"};
const Argv kFlush = {"resolvectl", "flush-caches"};
const std::string kStub = "nameserver 127.0.0.53\n";

// Runner, seams, sink and world all write to one journal, so the order across them shows.
// An entry made while a run lock object is alive on this thread is marked " (locked)".
void note(Journal& journal, std::string entry) {
    if (core::OpLock::depth() > 0) entry += " (locked)";
    journal.push_back(std::move(entry));
}

struct JournalRunner : testing::FakeRunner {
    explicit JournalRunner(Journal& j) : journal(j) {}
    core::CommandResult run(const Argv& argv) override {
        note(journal, argv == kInsert ? "insert" : argv == kFlush ? "flush" : "other");
        return FakeRunner::run(argv);
    }
    Journal& journal;
};

struct JournalSeams : testing::FakeSeams {
    explicit JournalSeams(Journal& j) : journal(j) {}
    bool remove_dns_redirect() override {
        note(journal, "remove");
        return FakeSeams::remove_dns_redirect();
    }
    bool shield_listening() override {
        note(journal, "listening");
        return FakeSeams::shield_listening();
    }
    bool shield_answers() override {
        note(journal, "answers");
        if (throw_in_answers) throw std::runtime_error("probe failed");
        return FakeSeams::shield_answers();
    }
    Journal& journal;
    bool throw_in_answers = false;
};

struct JournalSink : LineSink {
    explicit JournalSink(Journal& j) : journal(j) {}
    bool write_line(std::string_view line) override {
        note(journal, "print " + std::string(line));
        lines.emplace_back(line);
        return accept;
    }
    Journal& journal;
    std::vector<std::string> lines;
    bool accept = true;
};

// A world without the locks and the owner record: nothing to take, every redirect ours.
struct LocklessWorld : GuardWorld {
    std::unique_ptr<core::OpLock> lock_operations(std::chrono::milliseconds) override {
        return nullptr;
    }
    core::UniqueFd lock_guards(std::chrono::milliseconds) override { return {}; }
    void claim_redirect() override {}
    bool redirect_is_ours() override { return true; }
    void drop_claim() override {}
};

struct ScriptedWorld : LocklessWorld {
    explicit ScriptedWorld(Journal& j) : journal(j) {}
    std::string resolv_conf() override { return resolv; }
    bool iptables_on_path() override { return iptables; }
    void arm_signals() override { note(journal, "arm"); }
    int disarm_signals() override {
        note(journal, "disarm");
        return late_signal;
    }
    WaitEvent wait_input(std::chrono::milliseconds limit) override {
        EXPECT_EQ(limit, 5000ms);
        note(journal, "wait");
        if (throw_in_wait) throw std::system_error(EIO, std::system_category(), "stdin");
        // An unscripted wait means the loop went on longer than the test expected.
        if (waits.empty()) return {WaitEvent::kEnd, 0};
        WaitEvent e = waits.front();
        waits.pop_front();
        clock += e.kind == WaitEvent::kInput ? input_gap : limit;
        return e;
    }
    int pause(std::chrono::milliseconds limit) override {
        clock += limit;
        // The grace wait, or the rest of a second that coalesces input.
        note(journal, limit == 2000ms ? "grace" : "hold " + std::to_string(limit.count()));
        if (pauses.empty()) return 0;
        int s = pauses.front();
        pauses.pop_front();
        return s;
    }
    std::chrono::steady_clock::time_point now() override { return clock; }
    Journal& journal;
    std::chrono::steady_clock::time_point clock{};
    std::chrono::milliseconds input_gap = 5000ms;  // simulated time before each line arrives
    std::string resolv = kStub;
    bool iptables = true;
    std::deque<WaitEvent> waits;
    std::deque<int> pauses;
    int late_signal = 0;
    bool throw_in_wait = false;
};

struct Guard {
    Journal journal;
    JournalRunner runner{journal};
    JournalSeams seams{journal};
    JournalSink sink{journal};
    ScriptedWorld world{journal};
    GuardOutcome run() { return dns_guard(runner, seams, sink, world); }
};

const WaitEvent kLine{WaitEvent::kInput, 0};
const WaitEvent kQuiet{WaitEvent::kTimeout, 0};
const WaitEvent kEof{WaitEvent::kEnd, 0};

TEST(DnsGuardStart, ChecksInOrderAndStopsAtTheFirstFailure) {
    const std::string no_resolved =
        "print HATA: Bu sistem systemd-resolved (127.0.0.53) kullanmıyor; DNS sipranı bu "
        "dağıtımda desteklenmiyor.";
    const std::string no_iptables = "print HATA: iptables bulunamadı (sudo apt install iptables).";
    const std::string no_shield = "print HATA: Sipran DNS çözümleyicisi (127.0.0.1:5354) çalışmıyor.";
    struct Case {
        const char* name;
        std::string resolv;
        bool iptables;
        bool listening;
        int result;
        Journal journal;
    } cases[] = {
        {"resolver file missing or empty", "", true, true, 3, {no_resolved}},
        {"another resolver", "nameserver 1.1.1.1\n", true, true, 3, {no_resolved}},
        {"marker spelt differently", "nameserver  127.0.0.53\n", true, true, 3, {no_resolved}},
        {"file and iptables both missing", "", false, false, 3, {no_resolved}},
        {"iptables missing", kStub, false, true, 4, {no_iptables}},
        {"iptables and shield missing", kStub, false, false, 4, {no_iptables}},
        {"shield not listening", kStub, true, false, 5, {"remove", "listening", no_shield}},
        {"marker in a comment after other servers",
         "nameserver 9.9.9.9\n# nameserver 127.0.0.53 (stub)\n", true, false, 5,
         {"remove", "listening", no_shield}},
    };
    for (auto& c : cases) {
        Guard g;
        g.world.resolv = c.resolv;
        g.world.iptables = c.iptables;
        g.seams.listening = {c.listening};
        GuardOutcome out = g.run();
        EXPECT_EQ(out.result, c.result) << c.name;
        EXPECT_EQ(out.signal, 0) << c.name;
        EXPECT_EQ(g.journal, c.journal) << c.name;
    }
}

TEST(DnsGuardStart, InsertFailurePrintsTheErrorTextAsItIs) {
    for (std::string err : {"", "iptables v1.8.9 (nf_tables): RULE_INSERT failed\nline two"}) {
        Guard g;
        g.runner.script(kInsert, {{4, "", err}});
        GuardOutcome out = g.run();
        EXPECT_EQ(out.result, 6);
        EXPECT_EQ(g.sink.lines, std::vector<std::string>{"HATA: yönlendirme kurulamadı: " + err});
        // Nothing was installed: no clean-up, no cache flush.
        Journal expected = {"remove", "listening", "arm", "insert",
                            "print HATA: yönlendirme kurulamadı: " + err, "disarm"};
        EXPECT_EQ(g.journal, expected);
    }
}

TEST(DnsGuard, InstallsAnnouncesAndCleansUpAtEndOfInput) {
    Guard g;
    g.world.waits = {kEof};
    GuardOutcome out = g.run();
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.signal, 0);
    Journal expected = {"remove", "listening", "arm",    "insert", "flush", "print HAZIR",
                        "wait",      "remove", "flush", "disarm"};
    EXPECT_EQ(g.journal, expected);
}

// The loop's part of the journal: from the first wait up to the clean-up.
Journal loop_of(const Journal& j) {
    Journal loop;
    bool in = false;
    for (std::size_t i = 0; i < j.size(); ++i) {
        if (j[i] == "print HAZIR") {
            in = true;
            continue;
        }
        if (in && j[i] == "remove") break;
        if (in) loop.push_back(j[i]);
    }
    return loop;
}

TEST(DnsGuard, WatchLoopReactsToInputTimeAndTheShield) {
    struct Case {
        const char* name;
        std::deque<WaitEvent> waits;
        std::deque<bool> listening, answers;
        Journal loop;
    } cases[] = {
        {"input ends at once", {}, {}, {}, {"wait"}},
        {"a line leads to a check", {kLine, kEof}, {}, {},
         {"wait", "listening", "answers", "wait"}},
        {"quiet seconds lead to a check", {kQuiet, kQuiet, kEof}, {}, {},
         {"wait", "listening", "answers", "wait", "listening", "answers", "wait"}},
        {"one failed check is forgiven", {kQuiet, kEof}, {true, true}, {false, true},
         {"wait", "listening", "answers", "grace", "listening", "answers", "wait"}},
        {"a socket gone is not asked to answer", {kQuiet, kEof}, {false, true}, {},
         {"wait", "listening", "grace", "listening", "answers", "wait"}},
        {"two failed checks end the watch", {kLine}, {true, false}, {false},
         {"wait", "listening", "answers", "grace", "listening"}},
        {"failures do not add up across passes", {kQuiet, kQuiet, kEof},
         {true, true, true, true}, {false, true, false, true},
         {"wait", "listening", "answers", "grace", "listening", "answers",
          "wait", "listening", "answers", "grace", "listening", "answers", "wait"}},
    };
    for (auto& c : cases) {
        Guard g;
        g.world.waits = c.waits;
        g.seams.listening = c.listening;
        g.seams.listening.push_front(true);  // the start check
        g.seams.answers = c.answers;
        GuardOutcome out = g.run();
        EXPECT_EQ(out.result, 0) << c.name;
        EXPECT_EQ(loop_of(g.journal), c.loop) << c.name;
        Journal tail(g.journal.end() - 3, g.journal.end());
        EXPECT_EQ(tail, (Journal{"remove", "flush", "disarm"})) << c.name;
    }
}

// A flood of input (a chatty application, /dev/zero) costs one check a second, and every
// arrival is still followed by a check within that second.
TEST(DnsGuard, InputIsCoalescedToOneCheckASecond) {
    struct Case {
        const char* name;
        std::chrono::milliseconds gap;
        std::deque<WaitEvent> waits;
        std::deque<int> pauses;
        Journal loop;
        int signal;
    } cases[] = {
        {"lines a second apart are each checked at once", 1000ms, {kLine, kLine, kEof}, {},
         {"wait", "listening", "answers", "wait", "listening", "answers", "wait"}, 0},
        {"a flood waits out each second", 100ms, {kLine, kLine, kLine, kEof}, {},
         {"wait", "listening", "answers", "wait", "hold 900", "listening", "answers",
          "wait", "hold 900", "listening", "answers", "wait"}, 0},
        {"quiet time is not held back", 100ms, {kLine, kQuiet, kEof}, {},
         {"wait", "listening", "answers", "wait", "listening", "answers", "wait"}, 0},
        {"a signal ends the hold", 100ms, {kLine, kLine}, {SIGTERM},
         {"wait", "listening", "answers", "wait", "hold 900"}, SIGTERM},
    };
    for (auto& c : cases) {
        Guard g;
        g.world.input_gap = c.gap;
        g.world.waits = c.waits;
        g.world.pauses = c.pauses;
        GuardOutcome out = g.run();
        EXPECT_EQ(out.signal, c.signal) << c.name;
        EXPECT_EQ(loop_of(g.journal), c.loop) << c.name;
        Journal tail(g.journal.end() - 3, g.journal.end());
        EXPECT_EQ(tail, (Journal{"remove", "flush", "disarm"})) << c.name;
    }
}

TEST(DnsGuard, TerminationSignalsEndTheWatchThroughTheCleanUp) {
    struct Case {
        const char* name;
        std::deque<WaitEvent> waits;
        std::deque<int> pauses;
        std::deque<bool> answers;
        int late;
        int signal;
    } cases[] = {
        {"while waiting for input", {{WaitEvent::kSignal, SIGTERM}}, {}, {}, 0, SIGTERM},
        {"during the grace wait", {kQuiet}, {SIGINT}, {false}, 0, SIGINT},
        {"caught during the clean-up after end of input", {kEof}, {}, {}, SIGHUP, SIGHUP},
        {"the first one wins", {{WaitEvent::kSignal, SIGTERM}}, {}, {}, SIGINT, SIGTERM},
    };
    for (auto& c : cases) {
        Guard g;
        g.world.waits = c.waits;
        g.world.pauses = c.pauses;
        g.world.late_signal = c.late;
        g.seams.answers = c.answers;
        GuardOutcome out = g.run();
        EXPECT_EQ(out.result, 0) << c.name;
        EXPECT_EQ(out.signal, c.signal) << c.name;
        Journal tail(g.journal.end() - 3, g.journal.end());
        EXPECT_EQ(tail, (Journal{"remove", "flush", "disarm"})) << c.name;
    }
}

TEST(DnsGuard, ReaderGoneAtTheReadyLineRemovesTheRedirect) {
    Guard g;
    g.sink.accept = false;
    GuardOutcome out = g.run();
    EXPECT_EQ(out.result, 0);
    Journal expected = {"remove", "listening", "arm",   "insert", "flush", "print HAZIR",
                        "remove",    "flush",  "disarm"};
    EXPECT_EQ(g.journal, expected);
}

TEST(DnsGuard, FailureInTheLoopCleansUpAndReachesTheCaller) {
    {
        Guard g;
        g.world.throw_in_wait = true;
        EXPECT_THROW(g.run(), std::system_error);
        Journal tail(g.journal.end() - 4, g.journal.end());
        EXPECT_EQ(tail, (Journal{"wait", "remove", "flush", "disarm"}));
    }
    {
        Guard g;
        g.world.waits = {kLine};
        g.seams.throw_in_answers = true;
        EXPECT_THROW(g.run(), std::runtime_error);
        Journal tail(g.journal.end() - 4, g.journal.end());
        EXPECT_EQ(tail, (Journal{"answers", "remove", "flush", "disarm"}));
    }
}

// Hands out real lock objects on a path that cannot be opened: each one counts in
// OpLock::depth() while it lives, and nothing is created on the machine. The owner record is
// journalled.
struct LockingWorld : ScriptedWorld {
    using ScriptedWorld::ScriptedWorld;
    std::unique_ptr<core::OpLock> lock_operations(std::chrono::milliseconds wait) override {
        lock_waits.push_back(wait);
        return std::make_unique<core::OpLock>("/nonexistent-tq8-test-dir/lock");
    }
    void claim_redirect() override { note(journal, "claim"); }
    bool redirect_is_ours() override {
        note(journal, "ours?");
        return ours;
    }
    void drop_claim() override { note(journal, "drop"); }
    std::vector<std::chrono::milliseconds> lock_waits;
    bool ours = true;
};

TEST(DnsGuard, RunLockCoversTheInstallAndTheCleanUpButNeverTheWatch) {
    const std::string L = " (locked)";
    const auto kNoLimit = core::kOpLockNoLimit;
    struct Case {
        const char* name;
        std::deque<WaitEvent> waits;
        std::deque<bool> answers;
        int insert_rc;
        bool throw_in_wait;
        bool ours;
        std::vector<std::chrono::milliseconds> lock_waits;
        Journal journal;
    } cases[] = {
        {"end of input", {kLine, kQuiet, kEof}, {true, false, true}, 0, false, true,
         {kNoLimit, 3000ms},
         {"remove" + L, "listening" + L, "arm" + L, "claim" + L, "insert" + L, "flush" + L,
          "print HAZIR", "wait", "listening", "answers", "wait", "listening", "answers", "grace",
          "listening", "answers", "wait", "ours?" + L, "remove" + L, "drop" + L, "flush" + L,
          "disarm"}},
        {"insert refused", {}, {}, 1, false, true, {kNoLimit},
         {"remove" + L, "listening" + L, "arm" + L, "claim" + L, "insert" + L,
          "print HATA: yönlendirme kurulamadı: no", "disarm"}},
        {"failure in the watch", {}, {}, 0, true, true, {kNoLimit, 3000ms},
         {"remove" + L, "listening" + L, "arm" + L, "claim" + L, "insert" + L, "flush" + L,
          "print HAZIR", "wait", "ours?" + L, "remove" + L, "drop" + L, "flush" + L, "disarm"}},
        // A guard started since removed our copy and put in its own: it takes it away itself.
        {"a later guard owns the redirect", {kEof}, {}, 0, false, false, {kNoLimit, 3000ms},
         {"remove" + L, "listening" + L, "arm" + L, "claim" + L, "insert" + L, "flush" + L,
          "print HAZIR", "wait", "ours?" + L, "flush" + L, "disarm"}},
    };
    for (auto& c : cases) {
        Journal journal;
        JournalRunner runner{journal};
        JournalSeams seams{journal};
        JournalSink sink{journal};
        LockingWorld world{journal};
        world.waits = c.waits;
        world.throw_in_wait = c.throw_in_wait;
        world.ours = c.ours;
        seams.answers = c.answers;
        runner.script(kInsert, {{c.insert_rc, "", c.insert_rc ? "no" : ""}});
        if (c.throw_in_wait)
            EXPECT_THROW(dns_guard(runner, seams, sink, world), std::system_error) << c.name;
        else
            dns_guard(runner, seams, sink, world);
        EXPECT_EQ(journal, c.journal) << c.name;
        EXPECT_EQ(world.lock_waits, c.lock_waits) << c.name;
        EXPECT_EQ(core::OpLock::depth(), 0) << c.name;
    }
}

// ---- the real world ---------------------------------------------------------------------

struct Pipe {
    int r = -1, w = -1;
    Pipe() { EXPECT_EQ(::pipe2(&r, O_CLOEXEC), 0); }
    ~Pipe() {
        if (r >= 0) ::close(r);
        if (w >= 0) ::close(w);
    }
    void close_writer() { ::close(w), w = -1; }
};

TEST(SystemGuardWorld, ReadsInputUntilItEnds) {
    Pipe p;
    auto world = system_guard_world(p.r, "/nonexistent/resolv.conf");
    EXPECT_EQ(world->resolv_conf(), "");
    EXPECT_EQ(world->wait_input(10ms).kind, WaitEvent::kTimeout);
    ASSERT_EQ(::write(p.w, "line\nmore", 9), 9);
    EXPECT_EQ(world->wait_input(1000ms).kind, WaitEvent::kInput);
    EXPECT_EQ(world->wait_input(10ms).kind, WaitEvent::kTimeout);  // all of it was consumed
    p.close_writer();
    EXPECT_EQ(world->wait_input(1000ms).kind, WaitEvent::kEnd);

    int devnull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    auto from_null = system_guard_world(devnull);
    EXPECT_EQ(from_null->wait_input(1000ms).kind, WaitEvent::kEnd);
    ::close(devnull);

    auto no_input = system_guard_world(-1);
    EXPECT_THROW(no_input->wait_input(10ms), std::system_error);
}

TEST(SystemGuardWorld, FindsAnExecutableIptablesOnPath) {
    const std::string d = tq8::testing::scratch_dir("path"), file = d + "/iptables";
    const char* old = std::getenv("PATH");
    const std::string saved = old ? old : "";
    auto world = system_guard_world(0);

    ::setenv("PATH", ("/nonexistent:" + d).c_str(), 1);
    EXPECT_FALSE(world->iptables_on_path()) << "nothing there";
    ASSERT_EQ(::mkdir(file.c_str(), 0755), 0);
    EXPECT_FALSE(world->iptables_on_path()) << "a directory";
    ::rmdir(file.c_str());
    int fd = ::open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ::close(fd);
    EXPECT_FALSE(world->iptables_on_path()) << "not executable";
    ::chmod(file.c_str(), 0755);
    EXPECT_TRUE(world->iptables_on_path());

    ::setenv("PATH", saved.c_str(), 1);
    ::unlink(file.c_str());
    ::rmdir(d.c_str());
}

// A runner that raises a signal while "a command runs", as a terminal or a service manager
// would; the guard must still honour it at its next wait.
struct SignallingRunner : testing::FakeRunner {
    int signal = 0;
    core::CommandResult run(const Argv& argv) override {
        if (argv == kInsert && signal) ::raise(signal);
        return FakeRunner::run(argv);
    }
};

struct DiscardSink : LineSink {
    bool write_line(std::string_view) override { return true; }
};

struct PipeSink : LineSink {
    int fd;
    explicit PipeSink(int f) : fd(f) {}
    bool write_line(std::string_view line) override {
        std::string s(line);
        s += '\n';
        return ::write(fd, s.data(), s.size()) == static_cast<ssize_t>(s.size());
    }
};

bool handler_is(int sig, void (*h)(int)) {
    struct sigaction now{};
    ::sigaction(sig, nullptr, &now);
    return now.sa_handler == h;
}

struct sigaction handler_of(int sig) {
    struct sigaction now{};
    ::sigaction(sig, nullptr, &now);
    return now;
}

// Every signal whose default would end the guard with its rule in place: the terminal's
// Ctrl-\ (QUIT), the user signals, an alarm, a real-time one, even a SEGV sent with kill.
TEST(SystemGuardWorld, SignalDuringACommandIsHonouredAndHandlersComeBack) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGRTMIN + 1,
                    SIGSEGV}) {
        const struct sigaction before = handler_of(sig);
        Pipe input;  // stays open: only the signal can end this guard
        auto world = system_guard_world(input.r, "/dev/null");
        SignallingRunner runner;
        runner.signal = sig;
        testing::FakeSeams seams;
        DiscardSink sink;
        // Bypass the resolver-file and PATH checks: those are covered above.
        struct World : LocklessWorld {
            GuardWorld& real;
            explicit World(GuardWorld& r) : real(r) {}
            std::string resolv_conf() override { return kStub; }
            bool iptables_on_path() override { return true; }
            void arm_signals() override { real.arm_signals(); }
            int disarm_signals() override { return real.disarm_signals(); }
            WaitEvent wait_input(std::chrono::milliseconds l) override {
                return real.wait_input(l);
            }
            int pause(std::chrono::milliseconds l) override { return real.pause(l); }
        } w(*world);
        GuardOutcome out = dns_guard(runner, seams, sink, w);
        EXPECT_EQ(out.result, 0);
        EXPECT_EQ(out.signal, sig);
        EXPECT_EQ(seams.remove_calls, 2);  // before the insert and in the clean-up
        EXPECT_EQ(runner.calls.back(), kFlush);
        EXPECT_EQ(handler_of(sig).sa_handler, before.sa_handler) << sig;
        EXPECT_TRUE(handler_is(SIGPIPE, SIG_DFL));
    }
}

// The ready line is written with the rule in place: a reader that leaves a full pipe unread
// must not hold the guard, and the descriptor it shares stays as it was.
TEST(SystemGuardWorld, LinesAreWrittenWithinALimit) {
    Pipe p;
    EXPECT_TRUE(write_line_within(p.w, "HAZIR", 100ms));
    char buf[8] = {};
    ASSERT_EQ(::read(p.r, buf, sizeof buf), 6);
    EXPECT_EQ(std::string(buf, 6), "HAZIR\n");

    ASSERT_EQ(::fcntl(p.w, F_SETFL, O_NONBLOCK), 0);
    std::string fill(65536, 'x');
    while (::write(p.w, fill.data(), fill.size()) > 0) {
    }
    ASSERT_EQ(::fcntl(p.w, F_SETFL, 0), 0);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(write_line_within(p.w, "HAZIR", 200ms)) << "reader alive, not reading";
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
    EXPECT_EQ(::fcntl(p.w, F_GETFL) & O_NONBLOCK, 0);

    ::signal(SIGPIPE, SIG_IGN);
    ::close(p.r), p.r = -1;
    EXPECT_FALSE(write_line_within(p.w, "HAZIR", 100ms)) << "reader gone";
    ::signal(SIGPIPE, SIG_DFL);
    EXPECT_FALSE(write_line_within(-1, "HAZIR", 100ms)) << "no descriptor";
}

TEST(SystemGuardWorld, ClosedOutputNeitherKillsNorLeavesTheRule) {
    Pipe input, output;
    ::close(output.r), output.r = -1;  // the application is gone
    ASSERT_TRUE(handler_is(SIGPIPE, SIG_DFL));  // a write would kill us unless the guard ignores it
    char resolv[] = "/tmp/tq8-resolv-XXXXXX";
    int fd = ::mkstemp(resolv);
    ASSERT_EQ(::write(fd, kStub.data(), kStub.size()), static_cast<ssize_t>(kStub.size()));
    ::close(fd);
    const char* old = std::getenv("PATH");
    const std::string saved = old ? old : "";
    ::setenv("PATH", "/usr/sbin:/sbin:/usr/bin:/bin", 1);
    const std::string lock = std::string(resolv) + ".lock";
    const std::string state = std::string(resolv) + ".state";
    auto world = system_guard_world(input.r, resolv, lock, state);
    if (!world->iptables_on_path()) GTEST_SKIP() << "no iptables on this machine";
    testing::FakeRunner runner;
    testing::FakeSeams seams;
    PipeSink sink(output.w);
    GuardOutcome out = dns_guard(runner, seams, sink, *world);
    ::setenv("PATH", saved.c_str(), 1);
    ::unlink(resolv);
    ::unlink(lock.c_str());
    // The owner record went with the rule; the guards' lock file stays for the next guard.
    EXPECT_NE(::access((state + "/redirect-owner").c_str(), F_OK), 0);
    ::unlink((state + "/guard.lock").c_str());
    ::rmdir(state.c_str());
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(seams.remove_calls, 2);
    EXPECT_EQ(runner.calls.back(), kFlush);
    EXPECT_TRUE(handler_is(SIGPIPE, SIG_DFL));
}

TEST(SystemGuardWorld, SignalsIgnoredByTheStarterStayIgnored) {
    ::signal(SIGHUP, SIG_IGN);
    auto world = system_guard_world(0);
    world->arm_signals();
    EXPECT_TRUE(handler_is(SIGHUP, SIG_IGN));
    ::raise(SIGHUP);
    ::raise(SIGTERM);
    EXPECT_EQ(world->pause(0ms), SIGTERM);
    EXPECT_EQ(world->disarm_signals(), 0);
    EXPECT_TRUE(handler_is(SIGHUP, SIG_IGN));
    ::signal(SIGHUP, SIG_DFL);
}

TEST(SystemGuardWorld, RunLockIsTheFileAtItsPathOrNone) {
    const std::string dir = tq8::testing::scratch_dir("lock"), path = dir + "/lock";
    auto world = system_guard_world(0, "/dev/null", path);
    std::unique_ptr<core::OpLock> lock = world->lock_operations(core::kOpLockNoLimit);
    ASSERT_TRUE(lock);
    EXPECT_TRUE(lock->held());
    int other = ::open(path.c_str(), O_RDWR | O_CLOEXEC);  // as another run would
    ASSERT_GE(other, 0);
    EXPECT_NE(::flock(other, LOCK_EX | LOCK_NB), 0);
    lock.reset();
    EXPECT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    ::close(other);
    ::unlink(path.c_str());
    ::rmdir(dir.c_str());
    EXPECT_EQ(system_guard_world(0, "/dev/null", "")->lock_operations(core::kOpLockNoLimit),
              nullptr);
}

TEST(SystemGuardWorld, OwnerRecordKeepsALiveLaterGuardsRedirect) {
    const std::string dir = tq8::testing::scratch_dir("state"), state = dir + "/state";
    const std::string record = state + "/redirect-owner";
    auto world = system_guard_world(0, "/dev/null", "", state);
    const auto write_record = [&](const std::string& text) {
        FILE* f = std::fopen(record.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs(text.c_str(), f);
        std::fclose(f);
    };
    const std::string init = *core::process_identity(1);  // alive, and not us
    const std::string init_pid = init.substr(0, init.find(' '));
    struct Case {
        const char* name;
        std::function<void()> arrange;
        bool ours;
    } cases[] = {
        {"no record", [] {}, true},
        {"our own claim", [&] { world->claim_redirect(); }, true},
        {"a guard that still runs", [&] { write_record(init + "\n"); }, false},
        {"a guard that is gone", [&] { write_record("2147483646 12345\n"); }, true},
        {"its pid given to another process", [&] { write_record(init_pid + " 1\n"); }, true},
        {"dropped", [&] { world->drop_claim(); }, true},
    };
    for (auto& c : cases) {
        c.arrange();
        EXPECT_EQ(world->redirect_is_ours(), c.ours) << c.name;
    }

    // The guards' lock: one holder at a time, a finite wait runs out.
    core::UniqueFd held = world->lock_guards(core::kOpLockNoLimit);
    ASSERT_TRUE(held);
    EXPECT_FALSE(system_guard_world(0, "/dev/null", "", state)->lock_guards(50ms));
    held.reset();
    EXPECT_TRUE(system_guard_world(0, "/dev/null", "", state)->lock_guards(50ms));

    // A directory others may write to is nobody's record: never used.
    write_record(init + "\n");
    ASSERT_EQ(::chmod(state.c_str(), 0777), 0);
    EXPECT_TRUE(world->redirect_is_ours());
    EXPECT_FALSE(world->lock_guards(core::kOpLockNoLimit));
    ::unlink(record.c_str());
    ::unlink((state + "/guard.lock").c_str());
    ::rmdir(state.c_str());
    ::rmdir(dir.c_str());
}

TEST(SystemGuardWorld, OnlyOneGuardArmsSignalsAtATime) {
    auto a = system_guard_world(0), b = system_guard_world(0);
    a->arm_signals();
    EXPECT_THROW(b->arm_signals(), std::logic_error);
    EXPECT_EQ(a->disarm_signals(), 0);
    b->arm_signals();
    EXPECT_EQ(b->disarm_signals(), 0);
}

}  // namespace
}  // namespace tq8::dns_shield
