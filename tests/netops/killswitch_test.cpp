// manage_killswitch: removal on every call, the chain's exact rules, and what decides "ok"; the
// removal's own commands.
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
        const Argv bad = append({"-d", "2001:db8::/32", "-j", "ACCEPT"});
        runner.script(bad, {{2, "", "host/network `2001:db8::' not found"}});
        runner.script(kCreate, {{0, "created", ""}});
        if (c.jump_fails) runner.script(kJump, {{1, "", "iptables: No chain/target/match by that name."}});
        if (c.all_fail)
            runner.fallback([](const Argv& argv) {
                return core::CommandResult{1, "", "Komut çalıştırma hatası (" + core::join(argv) + "): yok"};
            });
        const auto record = manage_killswitch(runner, true, "tq8wg0", {"2001:db8::/32", "10.9.0.0/16"});
        ASSERT_EQ(record.logs.size(), 19u + 2u);
        EXPECT_EQ(record.ok, c.ok);
        EXPECT_EQ(record.state, (decltype(record.state){{"enabled", true}}));
        EXPECT_EQ(record.logs[0], (core::LogEntry{"iptables -N TQ8_KILLSWITCH", 0, "created", ""}));
        EXPECT_EQ(record.logs[16], (core::LogEntry{"iptables -A TQ8_KILLSWITCH -d 2001:db8::/32 -j ACCEPT",
                                                   2, "", "host/network `2001:db8::' not found"}));
        // The rules after the bad one and the jump still ran; without ip6tables the IPv6 half
        // stops at its failed creation.
        std::vector<Argv> expected =
            switch_on_calls("tq8wg0", {"2001:db8::/32", "10.9.0.0/16"}, {"2001:db8::/32"});
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

// Every entry gets its IPv4 rule, as it always had (iptables refuses an IPv6 literal without
// looking it up); the IPv6 ones reach the IPv6 chain as well.
TEST(Killswitch, Ipv6SplitEntriesGoToTheIpv6ChainAsWell) {
    const std::vector<std::string> entries = {" 2001:db8::/32 ", "2001:db8:5::53",
                                              "::ffff:198.51.100.1", "::/0", "10.8.0.0/24"};
    std::vector<std::string> trimmed = entries;
    trimmed[0] = "2001:db8::/32";
    testing::FakeRunner runner;
    const auto record = manage_killswitch(runner, true, "tq8wg0", entries);
    EXPECT_EQ(runner.calls,
              switch_on_calls("tq8wg0", trimmed,
                              {"2001:db8::/32", "2001:db8:5::53", "::ffff:198.51.100.1", "::/0"}));
    EXPECT_EQ(record.logs.size(), 19u + entries.size());
}

core::Record split_refusal(const std::string& reason) {
    return {false, {{"enabled", true}}, {{"split_ips denetimi", 1, "", reason}}};
}

std::string not_literal(const std::string& entry) {
    return "Bölünmüş tünel girdisi reddedildi: '" + entry +
           "' bir IP adresi veya ağı değil (IPv4: a.b.c.d, a.b.c.d/0-32 ya da a.b.c.d/maske, "
           "başında sıfır olmadan; IPv6: adres veya adres/0-128). Ad çözümlenmez.";
}

// Only what iptables reads as a literal address or network, one way only: nothing it would
// resolve as a host name, nothing it reads differently from a person (octal, short forms).
TEST(Killswitch, SplitEntriesAreLiteralAddressesOrRefusedBeforeAnyCommand) {
    const char* accepted[] = {
        "0.0.0.0/0", "255.255.255.255", "10.0.0.0/8", "203.0.113.7/32", "192.0.2.0",
        "10.1.0.0/255.255.0.0", "10.0.0.0/0.0.0.0", "10.0.0.1/255.255.255.255",
        "100.64.0.0/255.192.0.0", "2001:db8::/128", "::1", "fe80::1/64"};
    for (const char* entry : accepted) {
        SCOPED_TRACE(entry);
        testing::FakeRunner runner;
        const auto record = manage_killswitch(runner, true, "tq8wg0", {entry});
        EXPECT_TRUE(record.ok);
        EXPECT_EQ(record.logs[16].cmd, "iptables -A TQ8_KILLSWITCH -d " + std::string(entry) + " -j ACCEPT");
    }
    const std::string refused[] = {
        "dns.example", "localhost", "1.1.1", "1.1", "16843009", "0x01.1.1.1", "01.2.3.4",
        "1.2.3.04", "1.2.3.256", "1.2.3.4.", ".1.2.3.4", "1.2..4", "1.2.3.4/33", "1.2.3.4/",
        "1.2.3.4/08", "1.2.3.4/-1", "1.2.3.4/+8", "1.2.3.4/24/8", "1.2.3.4/255.0.255.0",
        "1.2.3.4/255.255.255.256", "1.2.3.4/0xff", "1.2.3.4 5.6.7.8", "1.2.3.4-1.2.3.9",
        "!1.2.3.4", "１.2.3.4", "2001:db8::/129", "2001:db8::/", "2001:db8::/+4",
        "2001:db8::/064", "fe80::1%eth0", "2001:db8::1/64/1", "/64", ":::", "[::1]",
        std::string("1.2.3.4\0", 8), std::string("::1\0", 4), std::string("::1\0/64", 7)};
    for (const std::string& entry : refused) {
        SCOPED_TRACE(entry);
        testing::FakeRunner runner;
        const auto record = manage_killswitch(runner, true, "tq8wg0", {"10.8.0.0/24", entry});
        EXPECT_TRUE(runner.calls.empty());
        EXPECT_EQ(record, split_refusal(not_literal(entry)));
    }
}

TEST(Killswitch, SplitListIsBoundedAndARefusalNeverBlocksTheSwitchOff) {
    const std::string too_many =
        "Bölünmüş tünel listesi reddedildi: en fazla 256 girdi verilebilir.";
    std::vector<std::string> full(256, "198.51.100.1");
    full.insert(full.begin(), {"", "  "});  // blank entries are not counted
    testing::FakeRunner at_limit;
    EXPECT_TRUE(manage_killswitch(at_limit, true, "tq8wg0", full).ok);
    EXPECT_EQ(count_program(at_limit.calls, "iptables"), 22u + 256u);

    full.push_back("198.51.100.2");
    testing::FakeRunner over;
    EXPECT_EQ(manage_killswitch(over, true, "tq8wg0", full), split_refusal(too_many));
    EXPECT_TRUE(over.calls.empty());

    // A long entry is shown cut to 40 bytes, never inside a UTF-8 sequence.
    testing::FakeRunner long_name;
    const std::string name = std::string(39, 'a') + "ğ" + std::string(100000, 'b');
    EXPECT_EQ(manage_killswitch(long_name, true, "tq8wg0", {name}),
              split_refusal(not_literal(std::string(39, 'a') + "...")));

    testing::FakeRunner off;
    full.push_back("dns.example");
    EXPECT_TRUE(manage_killswitch(off, false, "tq8wg0", full).ok);
    EXPECT_EQ(off.calls, kRemoval);
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

// remove_killswitch_chain: exactly three commands normally; the jump pile-up loop otherwise.
using testing::FakeRunner;

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
