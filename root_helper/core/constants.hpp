// The module's published constants (the DNS redirect rule and the iptables prefix it runs with)
// and the names and addresses both subsystems use.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tq8::core {

inline constexpr std::uint16_t kDnsPort = 53;
inline const std::string STUB_DNS = "127.0.0.53";
// The shield's own address: 127.0.0.1:5354.
inline const std::string kShieldHost = "127.0.0.1";
inline constexpr std::uint16_t kShieldPort = 5354;
inline const std::string SHIELD_DNS = kShieldHost + ":" + std::to_string(kShieldPort);
inline const std::vector<std::string> DNAT_RULE = {
    "OUTPUT", "-p", "udp", "-d", STUB_DNS, "--dport", std::to_string(kDnsPort), "-j", "DNAT",
    "--to-destination", SHIELD_DNS};
// -w 5: another program may hold the xtables lock; waiting beats a half-applied redirect.
inline const std::vector<std::string> IPT = {"iptables", "-w", "5", "-t", "nat"};

inline const std::string kTunnelIface = "tq8wg0";
// The kill switch's chain, in both firewalls.
inline const std::string kKillswitchChain = "TQ8_KILLSWITCH";

// The system resolver forgets what it cached: after the reset, and whenever the redirect to the
// shield comes or goes.
inline const std::vector<std::string> kFlushResolverCachesCmd = {"resolvectl", "flush-caches"};

}  // namespace tq8::core
