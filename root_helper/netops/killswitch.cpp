// manage_killswitch: the kill switch chain that keeps DNS inside the tunnel, and its removal,
// shared by the switch and the reset.
#include <arpa/inet.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "root_helper/core/audit_log.hpp"
#include "root_helper/core/constants.hpp"
#include "root_helper/core/saturating_int.hpp"
#include "root_helper/core/text_decode.hpp"
#include "root_helper/core/texts.hpp"
#include "root_helper/netops/netops.hpp"

namespace tq8::netops {

namespace {

// The most split-tunnel entries a switch-on takes. Each is one rule per firewall, and the
// run lock is held for all of them: with 256 a switch-on holds it for about 1.5 s here (IPv6
// entries, which go to both firewalls), so a slow machine stays well under a minute.
constexpr std::size_t kMaxSplitEntries = 256;

// WireGuard's customary UDP port: the kill switch lets the tunnel's own packets to it through.
constexpr int kWireguardPort = 51820;

const std::vector<std::string> kV4LocalRanges = {"192.168.0.0/16", "10.0.0.0/8", "172.16.0.0/12"};
const std::vector<std::string> kV6LocalRanges = {"fc00::/7", "fe80::/10"};

// Enough for any pile-up that interleaved runs could have left; bounds the loop should
// iptables ever keep reporting success without removing anything.
constexpr int kMaxJumpDeletes = 64;

// "iptables" or "ip6tables".
const char* firewall_program(IpFamily family) {
    return family == IpFamily::kV6 ? "ip6tables" : "iptables";
}

// "<program> <command> TQ8_KILLSWITCH <tail...>": a command on one family's chain.
std::vector<std::string> killswitch_command(IpFamily family, const char* command,
                                            std::initializer_list<std::string> tail = {}) {
    std::vector<std::string> argv = {firewall_program(family), command, core::kKillswitchChain};
    argv.insert(argv.end(), tail);
    return argv;
}

// True when -X failed because rules still jump to the chain. The wording differs by backend:
// the legacy one says "Too many links" (EMLINK), the nf_tables one
// "CHAIN_DEL failed (Device or resource busy)", older ones "CHAIN_USER_DEL failed".
bool still_referenced(const core::CommandResult& r) {
    constexpr std::string_view kMarks[] = {"Too many links", "resource busy", "CHAIN_USER_DEL",
                                           "CHAIN_DEL", "referenc"};
    return r.rc != 0 && std::ranges::any_of(kMarks, [&](std::string_view mark) {
               return r.err.find(mark) != std::string::npos;
           });
}

// An address of family af as inet_pton reads it (IPv4: four decimal octets, nothing shorter,
// as "1.1.1" is 1.1.0.1 to inet_aton, and no leading zero, octal there), alone or with a prefix
// length up to the family's bits in plain decimal (iptables reads numbers with base 0, so "010"
// would be eight to it and ten to a reader of the record), or for IPv4 with a dotted mask whose
// ones are contiguous. Entries reach here without NUL bytes, which would end inet_pton's reading.
bool is_destination(int af, std::string_view text) {
    const auto slash = text.find('/');
    in6_addr parsed{};
    if (::inet_pton(af, std::string(text.substr(0, slash)).c_str(), &parsed) != 1) return false;
    if (slash == std::string_view::npos) return true;
    const std::string mask(text.substr(slash + 1));
    const auto bits = core::parse_saturating(mask);
    if (bits && mask[0] >= '0' && mask[0] <= '9' && (mask.size() == 1 || mask[0] != '0'))
        return *bits <= (af == AF_INET ? 32 : 128);
    in_addr dotted{};
    if (af != AF_INET || ::inet_pton(AF_INET, mask.c_str(), &dotted) != 1) return false;
    // Contiguous: the inverted mask plus one is a power of two (0 and all ones included).
    const std::uint32_t inverted = ~ntohl(dotted.s_addr);
    return ((inverted + 1) & inverted) == 0;
}

// At most 40 bytes of the entry in a refusal (one entry may be the whole 128 KiB argument),
// cut where a UTF-8 sequence begins.
std::string shown(std::string_view entry) {
    constexpr std::size_t kShown = 40;
    if (entry.size() <= kShown) return std::string(entry);
    std::size_t n = kShown;
    while (n > 0 && (static_cast<unsigned char>(entry[n]) & 0xC0) == 0x80) --n;
    return std::string(entry.substr(0, n)) + "...";
}

// Why the split-tunnel list cannot be built, or nullopt. Checked in full before any command:
// a refused list changes nothing, not even the removal of the kill switch that is on.
std::optional<std::string> split_refusal(const std::vector<std::string>& split_ips) {
    std::size_t entries = 0;
    for (const auto& entry : split_ips) {
        const std::string clean_cidr = core::strip_whitespace(entry);
        if (clean_cidr.empty()) continue;
        if (++entries > kMaxSplitEntries) return texts::split_too_many(kMaxSplitEntries);
        if (clean_cidr.find('\0') != std::string::npos ||
            (!is_destination(AF_INET, clean_cidr) && !is_destination(AF_INET6, clean_cidr)))
            return texts::split_entry_refused(shown(clean_cidr));
    }
    return std::nullopt;
}

// One family's kill switch as the commands that build it: the chain's creation, its rules, each
// appended with its match and target, and last "<program> -I OUTPUT 1 -j TQ8_KILLSWITCH": until
// the jump exists the half-built chain filters nothing. The two firewalls' chains differ only in
// their networks and ports, never in the rules' shape and order.
std::vector<std::vector<std::string>> chain_steps(IpFamily family, const std::string& wg_iface,
                                                  const std::vector<std::string>& split_ips) {
    const bool v4 = family == IpFamily::kV4;
    std::vector<std::vector<std::string>> steps = {killswitch_command(family, "-N")};
    const auto rule = [&](std::initializer_list<std::string> tail) {
        steps.push_back(killswitch_command(family, "-A", tail));
    };
    rule({"-o", "lo", "-j", "ACCEPT"});
    rule({"-d", v4 ? "127.0.0.0/8" : "::1", "-j", "ACCEPT"});
    rule({"-m", "conntrack", "--ctstate", "ESTABLISHED,RELATED", "-j", "ACCEPT"});
    // The networks on this side of the router: the private ranges, for IPv6 unique-local and
    // link-local.
    for (const auto& range : v4 ? kV4LocalRanges : kV6LocalRanges)
        rule({"-d", range, "-j", "ACCEPT"});
    // DHCP's client and server ports, DHCPv6's for IPv6.
    rule({"-p", "udp", "--dport", v4 ? "67:68" : "546:547", "-j", "ACCEPT"});
    // Let through even while the tunnel is down (besides the public resolvers): the
    // application's service network, so it can still reach its own servers to bring the
    // tunnel back. It has no IPv6 counterpart.
    if (v4) rule({"-d", "185.117.82.0/23", "-j", "ACCEPT"});
    for (const auto& r : kPublicResolvers)
        for (const auto& dest : v4 ? r.v4 : r.v6) rule({"-d", dest, "-j", "ACCEPT"});
    rule({"-o", wg_iface, "-j", "ACCEPT"});
    // iptables' trailing "+" matches every interface whose name begins with "wg".
    rule({"-o", "wg+", "-j", "ACCEPT"});
    rule({"-p", "udp", "--dport", std::to_string(kWireguardPort), "-j", "ACCEPT"});
    // Entries come from a comma-separated option where "a, b" is common; blank ones mean
    // nothing. Every entry that reaches a chain has passed split_refusal, so none is a name to
    // resolve; the IPv6 chain takes only the literal IPv6 ones.
    for (const auto& entry : split_ips) {
        std::string clean_cidr = core::strip_whitespace(entry);
        if (v4 ? !clean_cidr.empty() : is_destination(AF_INET6, clean_cidr))
            rule({"-d", std::move(clean_cidr), "-j", "ACCEPT"});
    }
    // No catch-all after these: only DNS leaks are blocked, every other packet falls through.
    for (const char* protocol : {"udp", "tcp"})
        rule({"-p", protocol, "--dport", std::to_string(core::kDnsPort), "-j", "REJECT"});
    steps.push_back({firewall_program(family), "-I", "OUTPUT", "1", "-j", core::kKillswitchChain});
    return steps;
}

}  // namespace

core::Record manage_killswitch(core::CommandRunner& runner, bool enable,
                               const std::string& wg_iface,
                               const std::vector<std::string>& split_ips) {
    // A switch-on with a list it cannot build is refused before anything changes; a switch-off
    // never looks at the list, so turning the kill switch off always works.
    if (const auto reason = enable ? split_refusal(split_ips) : std::nullopt) {
        core::audit_refusal("split_ips", *reason);
        return {false, {{"enabled", true}},
                {{std::string(texts::kSplitIpsCheckCmd), 1, "", *reason}}};
    }

    // Each call that goes on starts from "absent", so a second switch-on cannot leave a second
    // jump. The removal fails as a matter of course when there is nothing to remove: not worth
    // a log entry. Shared with the reset, it also clears jumps that interleaved runs piled up,
    // which would otherwise pin the chain so that every later switch-on doubled its rules.
    remove_killswitch_chain(runner, IpFamily::kV4);
    remove_killswitch_chain(runner, IpFamily::kV6);

    if (!enable) {
        return {true, {{"enabled", false}}, {{core::join(killswitch_command(IpFamily::kV4, "-X")),
                                               0, std::string(texts::kKillswitchOff), ""}}};
    }

    const auto v4 = chain_steps(IpFamily::kV4, wg_iface, split_ips);
    std::vector<core::LogEntry> logs;
    core::CommandResult jump;
    for (const auto& step : v4) jump = core::run_logged(runner, logs, step);
    // The IPv6 half: nothing of it is logged in the record, and nothing of it decides "ok": a
    // machine without ip6tables or with IPv6 off in the kernel still gets its IPv4 kill switch
    // and the record it always had. A chain that cannot be created gets no rules and no jump:
    // either the firewall is unusable, or a chain the removal could not delete is still there,
    // and appending to it would double its rules.
    const auto v6 = chain_steps(IpFamily::kV6, wg_iface, split_ips);
    if (runner.run(v6.front()).rc == 0)
        for (std::size_t i = 1; i < v6.size(); ++i) runner.run(v6[i]);
    return {jump.rc == 0, {{"enabled", true}}, std::move(logs)};
}

bool remove_killswitch_chain(core::CommandRunner& runner, IpFamily family) {
    const std::vector<std::string> delete_jump = {firewall_program(family), "-D", "OUTPUT", "-j",
                                                  core::kKillswitchChain};
    const auto flush_chain = killswitch_command(family, "-F");
    const auto delete_chain = killswitch_command(family, "-X");

    runner.run(delete_jump);
    runner.run(flush_chain);
    core::CommandResult deleted = runner.run(delete_chain);
    if (!still_referenced(deleted)) return deleted.rc == 0;

    // Each -D removes one jump, so jumps left by runs that interleaved would otherwise pin the
    // chain for good: no later switch-on, switch-off or reset could ever delete it.
    int jumps = 0;
    while (jumps < kMaxJumpDeletes && runner.run(delete_jump).rc == 0) ++jumps;
    runner.run(flush_chain);
    return runner.run(delete_chain).rc == 0;
}

}  // namespace tq8::netops
