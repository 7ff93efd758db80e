// manage_killswitch: removal on every call, the chain's exact rules, and what decides "ok".
#include <gtest/gtest.h>

#include "fake_runner.hpp"
#include "netops/record_printing.hpp"
#include "root_helper/netops/netops.hpp"

namespace tq8::netops {
namespace {

using Argv = std::vector<std::string>;

Argv removal_step(const char* program, std::initializer_list<std::string> tail) {
    Argv argv = {program};
    argv.insert(argv.end(), tail);
    return argv;
}

std::vector<Argv> removal(const char* program) {
    return {removal_step(program, {"-D", "OUTPUT", "-j", "TQ8_KILLSWITCH"}),
            removal_step(program, {"-F", "TQ8_KILLSWITCH"}),
            removal_step(program, {"-X", "TQ8_KILLSWITCH"})};
}

const std::vector<Argv> kRemoval4 = removal("iptables");
const std::vector<Argv> kRemoval6 = removal("ip6tables");
// Every call removes both families' chains before anything else.
const std::vector<Argv> kRemoval = [] {
    std::vector<Argv> both = kRemoval4;
    both.insert(both.end(), kRemoval6.begin(), kRemoval6.end());
    return both;
}();
const Argv kCreate = {"iptables", "-N", "TQ8_KILLSWITCH"};
const Argv kJump = {"iptables", "-I", "OUTPUT", "1", "-j", "TQ8_KILLSWITCH"};
const Argv kCreate6 = {"ip6tables", "-N", "TQ8_KILLSWITCH"};
const Argv kJump6 = {"ip6tables", "-I", "OUTPUT", "1", "-j", "TQ8_KILLSWITCH"};

Argv append(Argv tail) {
    Argv argv = {"iptables", "-A", "TQ8_KILLSWITCH"};
    argv.insert(argv.end(), tail.begin(), tail.end());
    return argv;
}

std::vector<Argv> fixed_rules(const std::string& wg_iface) {
    return {append({"-o", "lo", "-j", "ACCEPT"}),
            append({"-d", "127.0.0.0/8", "-j", "ACCEPT"}),
            append({"-m", "conntrack", "--ctstate", "ESTABLISHED,RELATED", "-j", "ACCEPT"}),
            append({"-d", "192.168.0.0/16", "-j", "ACCEPT"}),
            append({"-d", "10.0.0.0/8", "-j", "ACCEPT"}),
            append({"-d", "172.16.0.0/12", "-j", "ACCEPT"}),
            append({"-p", "udp", "--dport", "67:68", "-j", "ACCEPT"}),
            append({"-d", "185.117.82.0/23", "-j", "ACCEPT"}),
            append({"-d", "1.1.1.1", "-j", "ACCEPT"}),
            append({"-d", "1.0.0.1", "-j", "ACCEPT"}),
            append({"-d", "9.9.9.9", "-j", "ACCEPT"}),
            append({"-d", "149.112.112.112", "-j", "ACCEPT"}),
            append({"-o", wg_iface, "-j", "ACCEPT"}),
            append({"-o", "wg+", "-j", "ACCEPT"}),
            append({"-p", "udp", "--dport", "51820", "-j", "ACCEPT"})};
}

const std::vector<Argv> kRejections = {append({"-p", "udp", "--dport", "53", "-j", "REJECT"}),
                                       append({"-p", "tcp", "--dport", "53", "-j", "REJECT"})};

Argv append6(Argv tail) {
    Argv argv = {"ip6tables", "-A", "TQ8_KILLSWITCH"};
    argv.insert(argv.end(), tail.begin(), tail.end());
    return argv;
}

// The IPv6 chain after the IPv4 jump: creation, the counterparts of the IPv4 rules, the IPv6
// split-tunnel entries, the rejections, the jump.
std::vector<Argv> v6_calls(const std::string& wg_iface, const std::vector<std::string>& dests6) {
    std::vector<Argv> calls = {
        kCreate6,
        append6({"-o", "lo", "-j", "ACCEPT"}),
        append6({"-d", "::1", "-j", "ACCEPT"}),
        append6({"-m", "conntrack", "--ctstate", "ESTABLISHED,RELATED", "-j", "ACCEPT"}),
        append6({"-d", "fc00::/7", "-j", "ACCEPT"}),
        append6({"-d", "fe80::/10", "-j", "ACCEPT"}),
        append6({"-p", "udp", "--dport", "546:547", "-j", "ACCEPT"}),
        append6({"-d", "2606:4700:4700::1111", "-j", "ACCEPT"}),
        append6({"-d", "2606:4700:4700::1001", "-j", "ACCEPT"}),
        append6({"-d", "2620:fe::fe", "-j", "ACCEPT"}),
        append6({"-d", "2620:fe::9", "-j", "ACCEPT"}),
        append6({"-o", wg_iface, "-j", "ACCEPT"}),
        append6({"-o", "wg+", "-j", "ACCEPT"}),
        append6({"-p", "udp", "--dport", "51820", "-j", "ACCEPT"})};
    for (const auto& d : dests6) calls.push_back(append6({"-d", d, "-j", "ACCEPT"}));
    calls.push_back(append6({"-p", "udp", "--dport", "53", "-j", "REJECT"}));
    calls.push_back(append6({"-p", "tcp", "--dport", "53", "-j", "REJECT"}));
    calls.push_back(kJump6);
    return calls;
}

// The IPv4 part: creation, rules, jump.
std::vector<Argv> v4_calls(const std::string& wg_iface, const std::vector<std::string>& dests) {
    std::vector<Argv> calls = {kCreate};
    for (auto& r : fixed_rules(wg_iface)) calls.push_back(r);
    for (const auto& d : dests) calls.push_back(append({"-d", d, "-j", "ACCEPT"}));
    for (const auto& r : kRejections) calls.push_back(r);
    calls.push_back(kJump);
    return calls;
}

std::vector<Argv> switch_on_calls(const std::string& wg_iface, const std::vector<std::string>& dests,
                                  const std::vector<std::string>& dests6 = {}) {
    std::vector<Argv> calls = kRemoval;
    for (auto& c : v4_calls(wg_iface, dests)) calls.push_back(c);
    for (auto& c : v6_calls(wg_iface, dests6)) calls.push_back(c);
    return calls;
}

TEST(Killswitch, SwitchOffRemovesSilentlyAndReportsTheFixedEntry) {
    testing::FakeRunner runner;
    runner.default_result = {1, "", "iptables: No chain/target/match by that name."};
    const auto record = manage_killswitch(runner, false, "tq8wg0", {"10.0.0.0/8"});
    EXPECT_EQ(runner.calls, kRemoval);
    const core::Record expected{
        true,
        {{"enabled", false}},
        {{"iptables -X TQ8_KILLSWITCH", 0, "Kill Switch devre dışı bırakıldı.", ""}}};
    EXPECT_EQ(record, expected);
}

std::size_t count_program(const std::vector<Argv>& calls, const std::string& program) {
    std::size_t n = 0;
    for (const auto& c : calls) n += c.front() == program;
    return n;
}

TEST(Killswitch, SwitchOnWithoutSplitEntriesRuns22IptablesCommandsAndLogs19) {
    testing::FakeRunner runner;
    const auto record = manage_killswitch(runner, true, "tq8wg0", {});
    EXPECT_EQ(runner.calls, switch_on_calls("tq8wg0", {}));
    ASSERT_EQ(count_program(runner.calls, "iptables"), 22u);
    ASSERT_EQ(count_program(runner.calls, "ip6tables"), 20u);
    ASSERT_EQ(record.logs.size(), 19u);
    EXPECT_TRUE(record.ok);
    EXPECT_EQ(record.state, (decltype(record.state){{"enabled", true}}));
    // Each logged step is the command it ran, words joined by single spaces; the removal
    // commands leave no entry.
    EXPECT_EQ(record.logs.front().cmd, "iptables -N TQ8_KILLSWITCH");
    EXPECT_EQ(record.logs[1].cmd, "iptables -A TQ8_KILLSWITCH -o lo -j ACCEPT");
    EXPECT_EQ(record.logs[17].cmd, "iptables -A TQ8_KILLSWITCH -p tcp --dport 53 -j REJECT");
    EXPECT_EQ(record.logs.back().cmd, "iptables -I OUTPUT 1 -j TQ8_KILLSWITCH");
    for (std::size_t i = 1; i + 1 < record.logs.size(); ++i)
        EXPECT_EQ(record.logs[i].cmd, core::join(runner.calls[i + kRemoval.size()]));
}

TEST(Killswitch, SplitEntriesAreTrimmedAndBlankOnesDropped) {
    testing::FakeRunner runner;
    const auto record = manage_killswitch(
        runner, true, "tq8wg0",
        {"  10.8.0.0/24 ", "", "   ", "\t203.0.113.7\n", "\xc2\xa0" "198.51.100.0/24\xe2\x80\x83",
         "\x1f"});
    EXPECT_EQ(runner.calls,
              switch_on_calls("tq8wg0", {"10.8.0.0/24", "203.0.113.7", "198.51.100.0/24"}));
    EXPECT_EQ(record.logs.size(), 19u + 3u);
    EXPECT_EQ(record.logs[16].cmd, "iptables -A TQ8_KILLSWITCH -d 10.8.0.0/24 -j ACCEPT");
}

TEST(Killswitch, EveryStepKeepsItsOwnResultAndOnlyTheJumpDecidesOk) {
    struct Case {
        const char* name;
        bool jump_fails;
        bool all_fail;
        bool ok;
    };
    for (const Case c : {Case{"rule_fails", false, false, true},
                         Case{"jump_fails", true, false, false},
                         Case{"iptables_missing", false, true, false}}) {
        SCOPED_TRACE(c.name);
        testing::FakeRunner runner;
        const Argv bad = append({"-d", "not-an-address", "-j", "ACCEPT"});
        runner.script(bad, {{2, "", "host/network `not-an-address' not found"}});
        runner.script(kCreate, {{0, "created", ""}});
        if (c.jump_fails) runner.script(kJump, {{1, "", "iptables: No chain/target/match by that name."}});
        if (c.all_fail)
            runner.fallback([](const Argv& argv) {
                return core::CommandResult{1, "", "Komut çalıştırma hatası (" + core::join(argv) + "): yok"};
            });
        const auto record = manage_killswitch(runner, true, "tq8wg0", {"not-an-address", "10.9.0.0/16"});
        ASSERT_EQ(record.logs.size(), 19u + 2u);
        EXPECT_EQ(record.ok, c.ok);
        EXPECT_EQ(record.state, (decltype(record.state){{"enabled", true}}));
        EXPECT_EQ(record.logs[0], (core::LogEntry{"iptables -N TQ8_KILLSWITCH", 0, "created", ""}));
        EXPECT_EQ(record.logs[16], (core::LogEntry{"iptables -A TQ8_KILLSWITCH -d not-an-address -j ACCEPT",
                                                   2, "", "host/network `not-an-address' not found"}));
        // The rules after the bad one and the jump still ran; without ip6tables the IPv6 half
        // stops at its failed creation.
        std::vector<Argv> expected = switch_on_calls("tq8wg0", {"not-an-address", "10.9.0.0/16"});
        if (c.all_fail) expected.resize(kRemoval.size() + 21 + 1);
        EXPECT_EQ(runner.calls, expected);
        if (c.all_fail) {
            EXPECT_EQ(record.logs.back().err,
                      "Komut çalıştırma hatası (iptables -I OUTPUT 1 -j TQ8_KILLSWITCH): yok");
        }
    }
}

// Jumps piled up by interleaved runs pin the chain; they are cleared before the rebuild, so the
// chain is created afresh rather than appended to a second time.
TEST(Killswitch, PiledUpJumpsAreClearedBeforeTheChainIsRebuilt) {
    testing::FakeRunner runner;
    runner.script(kRemoval4[0], {{0, "", ""}, {0, "", ""}, {1, "", "iptables: Bad rule."}});
    runner.script(kRemoval4[2], {{1, "", "iptables: Too many links."}, {0, "", ""}});
    const auto record = manage_killswitch(runner, true, "tq8wg0", {});
    std::vector<Argv> expected = {kRemoval4[0], kRemoval4[1], kRemoval4[2], kRemoval4[0],
                                  kRemoval4[0], kRemoval4[1], kRemoval4[2]};
    const auto on = switch_on_calls("tq8wg0", {});
    expected.insert(expected.end(), on.begin() + 3, on.end());
    EXPECT_EQ(runner.calls, expected);
    EXPECT_EQ(record.logs.size(), 19u);
}

TEST(Killswitch, WgIfaceGoesIntoItsOwnRuleAndTheWildcardStays) {
    testing::FakeRunner runner;
    manage_killswitch(runner, true, "wg-home", {});
    EXPECT_EQ(runner.calls, switch_on_calls("wg-home", {}));
}

// Only literal IPv6 addresses and networks reach the IPv6 chain (ip6tables would resolve a
// name); every non-blank entry still gets its IPv4 rule and log entry, as it always had.
TEST(Killswitch, Ipv6SplitEntriesGoToTheIpv6ChainAsWell) {
    const std::vector<std::string> entries = {
        " 2001:db8::/32 ", "2001:db8:5::53", "::ffff:198.51.100.1", "::/0", "2001:db8::/128",
        "10.8.0.0/24", "2001:db8::/129", "2001:db8::/", "2001:db8::/+4", "2001:db8::/0x1",
        "fe80::1%eth0", "dns.example", "2001:db8::1/64/1", "/64", ":::"};
    std::vector<std::string> trimmed = entries;
    trimmed[0] = "2001:db8::/32";
    testing::FakeRunner runner;
    const auto record = manage_killswitch(runner, true, "tq8wg0", entries);
    EXPECT_EQ(runner.calls,
              switch_on_calls("tq8wg0", trimmed,
                              {"2001:db8::/32", "2001:db8:5::53", "::ffff:198.51.100.1", "::/0",
                               "2001:db8::/128"}));
    EXPECT_EQ(record.logs.size(), 19u + entries.size());
    EXPECT_EQ(record.logs.back().cmd, "iptables -I OUTPUT 1 -j TQ8_KILLSWITCH");
}

// The IPv6 half never shows in the record and never decides "ok"; a chain it cannot create gets
// neither rules nor a jump.
TEST(Killswitch, Ipv6FailuresLeaveTheRecordAsItIs) {
    testing::FakeRunner reference;
    const auto expected = manage_killswitch(reference, true, "tq8wg0", {"2001:db8::/32"});
    struct Case {
        const char* name;
        Argv failing;
        std::size_t v6_commands;
    };
    for (const Case& c : {Case{"no ip6tables", kCreate6, 1}, Case{"jump fails", kJump6, 18}}) {
        SCOPED_TRACE(c.name);
        testing::FakeRunner runner;
        runner.script(c.failing, {{1, "", "ip6tables: Address family not supported by protocol."}});
        const auto record = manage_killswitch(runner, true, "tq8wg0", {"2001:db8::/32"});
        EXPECT_EQ(record, expected);
        EXPECT_TRUE(record.ok);
        EXPECT_EQ(count_program(runner.calls, "ip6tables"), kRemoval6.size() + c.v6_commands);
    }
}

}  // namespace
}  // namespace tq8::netops
