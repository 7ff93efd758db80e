// manage_killswitch: removal on every call, the chain's exact rules, and what decides "ok".
#include <gtest/gtest.h>

#include "fake_runner.hpp"
#include "netops/record_printing.hpp"
#include "root_helper/netops/netops.hpp"

namespace tq8::netops {
namespace {

using Argv = std::vector<std::string>;

const std::vector<Argv> kRemoval = {{"iptables", "-D", "OUTPUT", "-j", "TQ8_KILLSWITCH"},
                                    {"iptables", "-F", "TQ8_KILLSWITCH"},
                                    {"iptables", "-X", "TQ8_KILLSWITCH"}};
const Argv kCreate = {"iptables", "-N", "TQ8_KILLSWITCH"};
const Argv kJump = {"iptables", "-I", "OUTPUT", "1", "-j", "TQ8_KILLSWITCH"};

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

std::vector<Argv> switch_on_calls(const std::string& wg_iface, const std::vector<std::string>& dests) {
    std::vector<Argv> calls = kRemoval;
    calls.push_back(kCreate);
    for (auto& r : fixed_rules(wg_iface)) calls.push_back(r);
    for (const auto& d : dests) calls.push_back(append({"-d", d, "-j", "ACCEPT"}));
    for (const auto& r : kRejections) calls.push_back(r);
    calls.push_back(kJump);
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

TEST(Killswitch, SwitchOnWithoutSplitEntriesRuns22CommandsAndLogs19) {
    testing::FakeRunner runner;
    const auto record = manage_killswitch(runner, true, "tq8wg0", {});
    EXPECT_EQ(runner.calls, switch_on_calls("tq8wg0", {}));
    ASSERT_EQ(runner.calls.size(), 22u);
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
        EXPECT_EQ(record.logs[i].cmd, core::join(runner.calls[i + 3]));
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
        EXPECT_EQ(runner.calls.size(), 22u + 2u);
        ASSERT_EQ(record.logs.size(), 19u + 2u);
        EXPECT_EQ(record.ok, c.ok);
        EXPECT_EQ(record.state, (decltype(record.state){{"enabled", true}}));
        EXPECT_EQ(record.logs[0], (core::LogEntry{"iptables -N TQ8_KILLSWITCH", 0, "created", ""}));
        EXPECT_EQ(record.logs[16], (core::LogEntry{"iptables -A TQ8_KILLSWITCH -d not-an-address -j ACCEPT",
                                                   2, "", "host/network `not-an-address' not found"}));
        // The rules after the bad one and the jump still ran.
        EXPECT_EQ(runner.calls.back(), kJump);
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
    runner.script(kRemoval[0], {{0, "", ""}, {0, "", ""}, {1, "", "iptables: Bad rule."}});
    runner.script(kRemoval[2], {{1, "", "iptables: Too many links."}, {0, "", ""}});
    const auto record = manage_killswitch(runner, true, "tq8wg0", {});
    std::vector<Argv> expected = {kRemoval[0], kRemoval[1], kRemoval[2], kRemoval[0],
                                  kRemoval[0], kRemoval[1], kRemoval[2]};
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

}  // namespace
}  // namespace tq8::netops
