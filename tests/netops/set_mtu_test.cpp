// set_mtu: the clamping, the ip command, and the MSS rule added only when it is missing.
#include <climits>

#include <gtest/gtest.h>

#include "fake_runner.hpp"
#include "netops/record_printing.hpp"
#include "root_helper/netops/netops.hpp"

namespace tq8::netops {
namespace {

using Argv = std::vector<std::string>;

const Argv kCheck = {"iptables", "-t", "mangle", "-C", "POSTROUTING", "-p", "tcp", "--tcp-flags",
                     "SYN,RST", "SYN", "-j", "TCPMSS", "--clamp-mss-to-pmtu"};
const Argv kAdd = {"iptables", "-t", "mangle", "-A", "POSTROUTING", "-p", "tcp", "--tcp-flags",
                   "SYN,RST", "SYN", "-j", "TCPMSS", "--clamp-mss-to-pmtu"};

struct ClampCase {
    long long requested;
    long long applied;
};

class MtuClamp : public ::testing::TestWithParam<ClampCase> {};

TEST_P(MtuClamp, AppliesAndReportsTheClampedValue) {
    testing::FakeRunner runner;
    const auto record = set_mtu(runner, "eth0", GetParam().requested);
    const std::string applied = std::to_string(GetParam().applied);
    ASSERT_FALSE(runner.calls.empty());
    EXPECT_EQ(runner.calls[0], (Argv{"ip", "link", "set", "dev", "eth0", "mtu", applied}));
    EXPECT_EQ(record.logs.at(0).cmd, "ip link set dev eth0 mtu " + applied);
    EXPECT_EQ(record.state.at(0).second, core::Value(GetParam().applied));
}

INSTANTIATE_TEST_SUITE_P(Table, MtuClamp,
                         ::testing::Values(ClampCase{1420, 1420}, ClampCase{1280, 1280},
                                           ClampCase{1500, 1500}, ClampCase{1501, 1500},
                                           ClampCase{9000, 1500}, ClampCase{1279, 1280},
                                           ClampCase{576, 1280}, ClampCase{0, 1280},
                                           ClampCase{-5, 1280}, ClampCase{LLONG_MAX, 1500},
                                           ClampCase{LLONG_MIN, 1280}));

TEST(SetMtu, RulePresentRunsTwoCommandsAndLogsOne) {
    testing::FakeRunner runner;
    runner.script({"ip", "link", "set", "dev", "wlp0s20f3", "mtu", "1420"}, {{0, "", ""}});
    runner.script(kCheck, {{0, "", ""}});
    const auto record = set_mtu(runner, "wlp0s20f3", 1420);
    EXPECT_EQ(runner.calls, (std::vector<Argv>{
                                {"ip", "link", "set", "dev", "wlp0s20f3", "mtu", "1420"}, kCheck}));
    const core::Record expected{
        true,
        {{"mtu", 1420LL}, {"interface", std::string("wlp0s20f3")}},
        {{"ip link set dev wlp0s20f3 mtu 1420", 0, "", ""}}};
    EXPECT_EQ(record, expected);
}

TEST(SetMtu, MissingRuleIsAddedAndLoggedWithItsResult) {
    testing::FakeRunner runner;
    runner.script(kCheck, {{1, "", "iptables: Bad rule (does a matching rule exist in that chain?)."}});
    runner.script(kAdd, {{0, "added", "warn"}});
    const auto record = set_mtu(runner, "eth0", 1400);
    EXPECT_EQ(runner.calls,
              (std::vector<Argv>{{"ip", "link", "set", "dev", "eth0", "mtu", "1400"}, kCheck, kAdd}));
    ASSERT_EQ(record.logs.size(), 2u);
    EXPECT_EQ(record.logs[1], (core::LogEntry{"iptables MSS clamp-to-pmtu", 0, "added", "warn"}));
    EXPECT_TRUE(record.ok);
}

TEST(SetMtu, FailingIpDecidesOkAloneAndTheMssStepsStillRun) {
    testing::FakeRunner runner;
    runner.script({"ip", "link", "set", "dev", "nosuch0", "mtu", "1280"},
                  {{1, "", "Cannot find device \"nosuch0\""}});
    runner.script(kCheck, {{1, "", ""}});
    runner.script(kAdd, {{0, "", ""}});
    const auto record = set_mtu(runner, "nosuch0", 100);
    const core::Record expected{
        false,
        {{"mtu", 1280LL}, {"interface", std::string("nosuch0")}},
        {{"ip link set dev nosuch0 mtu 1280", 1, "", "Cannot find device \"nosuch0\""},
         {"iptables MSS clamp-to-pmtu", 0, "", ""}}};
    EXPECT_EQ(record, expected);
    EXPECT_EQ(runner.calls.size(), 3u);
}

TEST(SetMtu, MissingIptablesShowsTheAddFailureAndLeavesOkToIp) {
    testing::FakeRunner runner;
    runner.fallback([](const Argv& argv) {
        if (argv[0] == "iptables")
            return core::CommandResult{1, "", "Komut çalıştırma hatası (" + core::join(argv) + "): yok"};
        return core::CommandResult{0, "", ""};
    });
    const auto record = set_mtu(runner, "eth0", 1420);
    EXPECT_TRUE(record.ok);
    ASSERT_EQ(record.logs.size(), 2u);
    EXPECT_EQ(record.logs[1].err, "Komut çalıştırma hatası (" + core::join(kAdd) + "): yok");
}

TEST(SetMtu, InterfaceWithSpacesStaysOneArgument) {
    testing::FakeRunner runner;
    const auto record = set_mtu(runner, "my if", 1420);
    EXPECT_EQ(runner.calls[0], (Argv{"ip", "link", "set", "dev", "my if", "mtu", "1420"}));
    EXPECT_EQ(record.logs[0].cmd, "ip link set dev my if mtu 1420");
    EXPECT_EQ(record.state.at(1).second, core::Value(std::string("my if")));
}

}  // namespace
}  // namespace tq8::netops
