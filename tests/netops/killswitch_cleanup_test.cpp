// remove_killswitch_chain: exactly three commands normally; the jump pile-up loop otherwise.
#include <gtest/gtest.h>

#include "fake_runner.hpp"
#include "root_helper/netops/netops.hpp"

namespace tq8::netops {
namespace {

using testing::FakeRunner;
using Argv = FakeRunner::Argv;

const Argv kD = {"iptables", "-D", "OUTPUT", "-j", "TQ8_KILLSWITCH"};
const Argv kF = {"iptables", "-F", "TQ8_KILLSWITCH"};
const Argv kX = {"iptables", "-X", "TQ8_KILLSWITCH"};

const core::CommandResult kNoRule{1, "", "iptables: Bad rule (does a matching rule exist in that chain?)."};
const core::CommandResult kNoChain{1, "", "iptables: No chain/target/match by that name."};
const core::CommandResult kBusyNft{
    4, "", "iptables v1.8.9 (nf_tables):  CHAIN_DEL failed (Device or resource busy): chain TQ8_KILLSWITCH"};
const core::CommandResult kBusyLegacy{1, "", "iptables: Too many links."};
const core::CommandResult kOk{0, "", ""};

TEST(RemoveKillswitchChain, NormalPathsRunExactlyTheThreeCommands) {
    struct Case {
        const char* name;
        core::CommandResult d, f, x;
        bool gone;
    };
    const Case cases[] = {
        {"switch on", kOk, kOk, kOk, true},
        {"nothing there", kNoRule, kNoChain, kNoChain, false},
        {"chain without jump", kNoRule, kOk, kOk, true},
        // A failure that is not about references (the xtables lock, a missing program) is not
        // the pile-up: no retries.
        {"lock held", kOk, kOk, {4, "", "Another app is currently holding the xtables lock."}, false},
        {"no iptables", {1, "", "Komut çalıştırma hatası (iptables -X TQ8_KILLSWITCH): [Errno 2]"},
         {1, "", "x"}, {1, "", "Komut çalıştırma hatası (iptables -X TQ8_KILLSWITCH): [Errno 2]"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeRunner runner;
        runner.script(kD, {c.d});
        runner.script(kF, {c.f});
        runner.script(kX, {c.x});
        EXPECT_EQ(remove_killswitch_chain(runner), c.gone);
        EXPECT_EQ(runner.calls, (std::vector<Argv>{kD, kF, kX}));
    }
}

TEST(RemoveKillswitchChain, PileUpOfJumpsIsDeletedUntilNoneIsLeft) {
    for (const auto& busy : {kBusyNft, kBusyLegacy}) {
        SCOPED_TRACE(busy.err);
        FakeRunner runner;
        // Three jumps: the first -D takes one, the loop two more, the fourth reports none.
        runner.script(kD, {kOk, kOk, kOk, kNoRule});
        runner.script(kX, {busy, kOk});
        EXPECT_TRUE(remove_killswitch_chain(runner));
        EXPECT_EQ(runner.calls, (std::vector<Argv>{kD, kF, kX, kD, kD, kD, kF, kX}));
    }
}

// The IPv6 firewall gets the same three commands, and the same pile-up handling, from ip6tables.
TEST(RemoveKillswitchChain, Ipv6FamilyRunsTheSameCommandsWithIp6tables) {
    const Argv d6 = {"ip6tables", "-D", "OUTPUT", "-j", "TQ8_KILLSWITCH"};
    const Argv f6 = {"ip6tables", "-F", "TQ8_KILLSWITCH"};
    const Argv x6 = {"ip6tables", "-X", "TQ8_KILLSWITCH"};
    FakeRunner runner;
    runner.script(d6, {kOk, kOk, kNoRule});
    runner.script(x6, {{1, "", "ip6tables v1.8.9 (nf_tables):  CHAIN_DEL failed (Device or resource busy)"}, kOk});
    EXPECT_TRUE(remove_killswitch_chain(runner, IpFamily::kV6));
    EXPECT_EQ(runner.calls, (std::vector<Argv>{d6, f6, x6, d6, d6, f6, x6}));
}

TEST(RemoveKillswitchChain, LoopIsBounded) {
    FakeRunner runner;
    runner.script(kD, {kOk});  // iptables that claims success for ever
    runner.script(kX, {kBusyNft});
    EXPECT_FALSE(remove_killswitch_chain(runner));
    int deletes = 0;
    for (const auto& c : runner.calls) deletes += c == kD;
    EXPECT_EQ(deletes, 1 + 64);
    EXPECT_EQ(runner.calls.back(), kX);
}

}  // namespace
}  // namespace tq8::netops
