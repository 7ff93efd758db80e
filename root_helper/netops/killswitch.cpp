// manage_killswitch: the TQ8_KILLSWITCH chain that keeps DNS inside the tunnel.
#include <arpa/inet.h>

#include <array>
#include <string_view>

#include "root_helper/core/text_decode.hpp"
#include "root_helper/core/texts.hpp"
#include "root_helper/netops/netops.hpp"

namespace tq8::netops {

namespace {

// Destinations the chain always lets through even while the tunnel is down: the application's
// service network (so it can still reach its own servers to bring the tunnel back) and the
// primary and secondary addresses of the two public resolvers it falls back to.
const std::array<std::string, 5> kAlwaysReachable = {
    "185.117.82.0/23",                     // the application's service network
    "1.1.1.1",        "1.0.0.1",           // first public resolver
    "9.9.9.9",        "149.112.112.112",   // second public resolver
};

// The IPv6 addresses of the same two public resolvers, primary and secondary each. The
// application's service network has no IPv6 counterpart.
const std::array<std::string, 4> kAlwaysReachableV6 = {
    "2606:4700:4700::1111", "2606:4700:4700::1001",  // first public resolver
    "2620:fe::fe",          "2620:fe::9",            // second public resolver
};

const std::string kChain = "TQ8_KILLSWITCH";

// Every rule is appended to the chain; its tail is the match and the target.
std::vector<std::string> rule(std::initializer_list<std::string> tail) {
    std::vector<std::string> argv = {"iptables", "-A", kChain};
    argv.insert(argv.end(), tail);
    return argv;
}

std::vector<std::vector<std::string>> chain_rules(const std::string& wg_iface,
                                                  const std::vector<std::string>& split_ips) {
    std::vector<std::vector<std::string>> rules = {
        rule({"-o", "lo", "-j", "ACCEPT"}),
        rule({"-d", "127.0.0.0/8", "-j", "ACCEPT"}),
        rule({"-m", "conntrack", "--ctstate", "ESTABLISHED,RELATED", "-j", "ACCEPT"}),
        rule({"-d", "192.168.0.0/16", "-j", "ACCEPT"}),
        rule({"-d", "10.0.0.0/8", "-j", "ACCEPT"}),
        rule({"-d", "172.16.0.0/12", "-j", "ACCEPT"}),
        rule({"-p", "udp", "--dport", "67:68", "-j", "ACCEPT"}),
    };
    for (const auto& dest : kAlwaysReachable) rules.push_back(rule({"-d", dest, "-j", "ACCEPT"}));
    rules.push_back(rule({"-o", wg_iface, "-j", "ACCEPT"}));
    // iptables' trailing "+" matches every interface whose name begins with "wg".
    rules.push_back(rule({"-o", "wg+", "-j", "ACCEPT"}));
    rules.push_back(rule({"-p", "udp", "--dport", "51820", "-j", "ACCEPT"}));
    // Entries come from a comma-separated option where "a, b" is common; blank ones mean
    // nothing, and the text is left to iptables to judge.
    for (const auto& entry : split_ips) {
        std::string clean_cidr = core::strip_whitespace(entry);
        if (!clean_cidr.empty()) rules.push_back(rule({"-d", std::move(clean_cidr), "-j", "ACCEPT"}));
    }
    // No catch-all after these: only DNS leaks are blocked, every other packet falls through.
    rules.push_back(rule({"-p", "udp", "--dport", "53", "-j", "REJECT"}));
    rules.push_back(rule({"-p", "tcp", "--dport", "53", "-j", "REJECT"}));
    return rules;
}

// An IPv6 address, or one with a prefix length 0..128: the split-tunnel entries the IPv6
// chain accepts. Only literal addresses, so ip6tables never resolves a name the caller gave.
bool is_ipv6_destination(std::string_view text) {
    std::string_view addr = text;
    if (auto slash = text.find('/'); slash != std::string_view::npos) {
        addr = text.substr(0, slash);
        const std::string_view len = text.substr(slash + 1);
        if (len.empty() || len.size() > 3) return false;
        int value = 0;
        for (char c : len) {
            if (c < '0' || c > '9') return false;
            value = value * 10 + (c - '0');
        }
        if (value > 128) return false;
    }
    if (addr.empty() || addr.size() >= INET6_ADDRSTRLEN) return false;
    in6_addr parsed{};
    return ::inet_pton(AF_INET6, std::string(addr).c_str(), &parsed) == 1;
}

std::vector<std::string> rule6(std::initializer_list<std::string> tail) {
    std::vector<std::string> argv = {"ip6tables", "-A", kChain};
    argv.insert(argv.end(), tail);
    return argv;
}

// The IPv6 counterparts of the IPv4 rules, in the same order: loopback, established, the
// unique-local and link-local ranges in place of the private ones, DHCPv6, the resolvers, the
// tunnel, the WireGuard port, the IPv6 split-tunnel entries, then the two rejections.
std::vector<std::vector<std::string>> chain_rules_v6(const std::string& wg_iface,
                                                     const std::vector<std::string>& split_ips) {
    std::vector<std::vector<std::string>> rules = {
        rule6({"-o", "lo", "-j", "ACCEPT"}),
        rule6({"-d", "::1", "-j", "ACCEPT"}),
        rule6({"-m", "conntrack", "--ctstate", "ESTABLISHED,RELATED", "-j", "ACCEPT"}),
        rule6({"-d", "fc00::/7", "-j", "ACCEPT"}),
        rule6({"-d", "fe80::/10", "-j", "ACCEPT"}),
        rule6({"-p", "udp", "--dport", "546:547", "-j", "ACCEPT"}),
    };
    for (const auto& dest : kAlwaysReachableV6) rules.push_back(rule6({"-d", dest, "-j", "ACCEPT"}));
    rules.push_back(rule6({"-o", wg_iface, "-j", "ACCEPT"}));
    rules.push_back(rule6({"-o", "wg+", "-j", "ACCEPT"}));
    rules.push_back(rule6({"-p", "udp", "--dport", "51820", "-j", "ACCEPT"}));
    for (const auto& entry : split_ips) {
        std::string clean_cidr = core::strip_whitespace(entry);
        if (is_ipv6_destination(clean_cidr))
            rules.push_back(rule6({"-d", std::move(clean_cidr), "-j", "ACCEPT"}));
    }
    rules.push_back(rule6({"-p", "udp", "--dport", "53", "-j", "REJECT"}));
    rules.push_back(rule6({"-p", "tcp", "--dport", "53", "-j", "REJECT"}));
    return rules;
}

// The IPv6 half of a switch-on. Nothing of it is logged in the record, and nothing of it
// decides "ok": a machine without ip6tables or with IPv6 off in the kernel still gets its IPv4
// kill switch and the record it always had. A chain that cannot be created gets no rules and no
// jump: either the firewall is unusable, or a chain the removal could not delete is still
// there, and appending to it would double its rules.
void build_v6_chain(core::CommandRunner& runner, const std::string& wg_iface,
                    const std::vector<std::string>& split_ips) {
    if (runner.run({"ip6tables", "-N", kChain}).rc != 0) return;
    for (const auto& r : chain_rules_v6(wg_iface, split_ips)) runner.run(r);
    runner.run({"ip6tables", "-I", "OUTPUT", "1", "-j", kChain});
}

}  // namespace

core::Record manage_killswitch(core::CommandRunner& runner, bool enable,
                               const std::string& wg_iface,
                               const std::vector<std::string>& split_ips) {
    // Each call starts from "absent", so a second switch-on cannot leave a second jump. The
    // removal fails as a matter of course when there is nothing to remove: not worth a log
    // entry. Shared with the reset, it also clears jumps that interleaved runs piled up, which
    // would otherwise pin the chain so that every later switch-on doubled its rules.
    remove_killswitch_chain(runner, IpFamily::kV4);
    remove_killswitch_chain(runner, IpFamily::kV6);

    core::Record record;
    if (!enable) {
        record.ok = true;
        record.state = {{"enabled", false}};
        record.logs.push_back({std::string(texts::kKillswitchOffCmd), 0,
                               std::string(texts::kKillswitchOff), ""});
        return record;
    }

    const auto rules = chain_rules(wg_iface, split_ips);
    record.logs.reserve(rules.size() + 2);
    record.logs.push_back(core::log_entry(std::string(texts::kKillswitchCreateCmd),
                                          runner.run({"iptables", "-N", kChain})));
    for (const auto& r : rules) record.logs.push_back(core::log_entry(core::join(r), runner.run(r)));
    // Inserted last: until the jump exists the half-built chain filters nothing.
    const auto jump = runner.run({"iptables", "-I", "OUTPUT", "1", "-j", kChain});
    record.logs.push_back(core::log_entry(std::string(texts::kKillswitchJumpCmd), jump));
    build_v6_chain(runner, wg_iface, split_ips);

    record.ok = jump.rc == 0;
    record.state = {{"enabled", true}};
    return record;
}

}  // namespace tq8::netops
