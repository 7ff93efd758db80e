// The audit trail's lines: what run_audited and audit_note write, and what they leave alone.
#include "root_helper/core/audit_log.hpp"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fake_runner.hpp"

namespace tq8::core {
namespace {

struct Line {
    int priority;
    std::string text;
};

// Captures audit lines and puts PKEXEC_UID back as it was.
class AuditTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* v = std::getenv("PKEXEC_UID")) saved_uid_ = v;
        ::unsetenv("PKEXEC_UID");
        set_audit_sink([this](int p, std::string_view l) { lines.push_back({p, std::string(l)}); });
    }
    void TearDown() override {
        set_audit_sink(nullptr);
        if (saved_uid_) ::setenv("PKEXEC_UID", saved_uid_->c_str(), 1);
        else ::unsetenv("PKEXEC_UID");
    }
    std::vector<Line> lines;
    testing::FakeRunner fake;

private:
    std::optional<std::string> saved_uid_;
};

TEST_F(AuditTest, OneLinePerChangingCommandWithActionUserRcAndCommand) {
    ::setenv("PKEXEC_UID", "1000", 1);
    fake.script({"iptables", "-N", "TQ8_KILLSWITCH"}, {{1, "", "Chain already exists."}});

    CommandResult r = run_audited(fake, "killswitch", {"iptables", "-N", "TQ8_KILLSWITCH"});
    run_audited(fake, "killswitch", {"iptables", "-I", "OUTPUT", "1", "-j", "TQ8_KILLSWITCH"});

    EXPECT_EQ(r, (CommandResult{1, "", "Chain already exists."}));  // passed through unchanged
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].priority, LOG_WARNING);
    EXPECT_EQ(lines[1].priority, LOG_INFO);
    // The duration is whatever it took; everything else is exact.
    auto without_ms = [](std::string s) {
        auto a = s.find(" ms=");
        auto b = s.find(' ', a + 1);
        return s.erase(a, b - a);
    };
    EXPECT_EQ(without_ms(lines[0].text), "action=killswitch user=1000 rc=1 cmd=iptables -N TQ8_KILLSWITCH");
    EXPECT_EQ(without_ms(lines[1].text),
              "action=killswitch user=1000 rc=0 cmd=iptables -I OUTPUT 1 -j TQ8_KILLSWITCH");
}

TEST_F(AuditTest, DurationIsMeasuredAroundTheCommand) {
    fake.fallback([](const auto&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        return CommandResult{-9, "", ""};
    });
    run_audited(fake, "wireguard", {"wg-quick", "up", "/etc/wireguard/tq8wg0.conf"});
    ASSERT_EQ(lines.size(), 1u);
    const std::string& l = lines[0].text;
    EXPECT_EQ(l.rfind("action=wireguard user=- rc=-9 ms=", 0), 0u) << l;
    long ms = std::stol(l.substr(l.find(" ms=") + 4));
    EXPECT_GE(ms, 30);
    EXPECT_LT(ms, 5000);
}

TEST_F(AuditTest, QueriesPassThroughUnlogged) {
    struct Case {
        std::vector<std::string> cmd;
        bool logged;
    };
    const std::vector<Case> cases = {
        {{"iptables", "-w", "5", "-t", "nat", "-C", "OUTPUT", "-p", "udp"}, false},
        {{"iptables", "-S", "TQ8_KILLSWITCH"}, false},
        {{"/usr/sbin/iptables", "-t", "mangle", "-L", "-n"}, false},
        {{"iptables-save"}, false},
        {{"ip", "-o", "-4", "route", "show", "to", "default"}, false},
        {{"ip", "-n", "show", "link", "list"}, false},  // "show" here is a namespace name
        {{"ip", "route", "get", "198.18.0.1"}, false},
        {{"iptables", "-w", "5", "-t", "nat", "-D", "OUTPUT", "-p", "udp"}, true},
        {{"iptables", "-A", "TQ8_KILLSWITCH", "-m", "comment", "--comment", "-L"}, true},
        {{"iptables", "-F", "TQ8_KILLSWITCH"}, true},
        {{"ip", "link", "set", "dev", "show", "mtu", "1400"}, true},  // a link named "show"
        {{"ip", "-n", "x", "link", "del", "tq8wg0"}, true},
        {{"ip", "-batch", "/tmp/cmds", "link", "show"}, true},
        {{"ip", "r", "s"}, true},  // abbreviations are logged, not guessed
        {{"ip", "link"}, true},
        {{"resolvectl", "flush-caches"}, true},
        {{"modprobe", "wireguard"}, true},
        {{}, true},
    };
    for (const auto& c : cases) {
        lines.clear();
        run_audited(fake, "t", c.cmd);
        EXPECT_EQ(lines.size(), c.logged ? 1u : 0u) << audit_quote(c.cmd);
    }
    EXPECT_EQ(fake.calls.size(), cases.size());  // every command still ran
}

TEST(AuditQuote, ArgumentsCanNeitherSplitNorForgeALine) {
    struct Case {
        std::vector<std::string> cmd;
        std::string quoted;
    };
    const std::vector<Case> cases = {
        {{"ip", "link", "set", "tq8wg0", "up"}, "ip link set tq8wg0 up"},
        {{"wg-quick", "up", "/home/a b/c.conf"}, "wg-quick up \"/home/a b/c.conf\""},
        {{"x", ""}, "x \"\""},
        {{"x", "a\nrc=0 cmd=forged"}, "x \"a\\nrc=0 cmd=forged\""},
        {{"x", "q\"b\\", "t\tc\x01"}, "x \"q\\\"b\\\\\" \"t\\tc\\x01\""},
        {{"x", "şifre/ağ"}, "x şifre/ağ"},  // UTF-8 stays readable
    };
    for (const auto& c : cases) EXPECT_EQ(audit_quote(c.cmd), c.quoted);
}

TEST_F(AuditTest, NotesCarryActionUserAndEscapedText) {
    ::setenv("PKEXEC_UID", "1000\nuser=0", 1);  // not pkexec's: must not forge a field
    audit_note("dns-guard", "başladı");
    ::setenv("PKEXEC_UID", "", 1);
    audit_note("dns-guard", "bitti: girdi kapandı\nrc=0");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].priority, LOG_NOTICE);
    EXPECT_EQ(lines[0].text, "action=dns-guard user=\"1000\\nuser=0\" başladı");
    EXPECT_EQ(lines[1].text, "action=dns-guard user=- bitti: girdi kapandı\\x0arc=0");
}

// The real syslog path with no log socket (the bind of /dev/null over /dev/log in a private
// mount namespace turns connect() away): the command's streams stay exactly as they were and
// nothing fails. Run in a child so that neither the namespace nor the host's log sees it.
TEST(AuditSyslog, MissingLogSocketChangesNothing) {
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(out[0]);
        if (::unshare(CLONE_NEWNS) != 0) ::_exit(77);
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) ::_exit(77);
        struct stat st {};
        if (::stat("/dev/log", &st) == 0 &&
            ::mount("/dev/null", "/dev/log", nullptr, MS_BIND, nullptr) != 0)
            ::_exit(77);
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(out[1], STDERR_FILENO);
        set_audit_sink(nullptr);
        audit_open();
        testing::FakeRunner fake;
        CommandResult r =
            run_audited(fake, "mtu", {"ip", "link", "set", "dev", "eth0", "mtu", "1400"});
        audit_note("mtu", "deneme");
        ::closelog();
        ::_exit(r == CommandResult{0, "", ""} ? 0 : 1);
    }
    ::close(out[1]);
    std::string written;
    char buf[256];
    for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) written.append(buf, n);
    ::close(out[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "needs a private mount namespace (root)";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(written, "");
}

}  // namespace
}  // namespace tq8::core
