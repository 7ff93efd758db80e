// The module's published constants (the DNS redirect rule and the iptables prefix it runs with)
// and the names and commands both subsystems use.
#pragma once

#include <string>
#include <vector>

namespace tq8::core {

inline const std::string STUB_DNS = "127.0.0.53";
inline const std::string SHIELD_DNS = "127.0.0.1:5354";
inline const std::vector<std::string> DNAT_RULE = {
    "OUTPUT", "-p", "udp", "-d", STUB_DNS, "--dport", "53", "-j", "DNAT", "--to-destination",
    SHIELD_DNS};
// -w 5: another program may hold the xtables lock; waiting beats a half-applied redirect.
inline const std::vector<std::string> IPT = {"iptables", "-w", "5", "-t", "nat"};

inline const std::string kTunnelIface = "tq8wg0";

// The system resolver forgets what it cached: after the reset, and whenever the redirect to the
// shield comes or goes.
inline const std::vector<std::string> kFlushResolverCachesCmd = {"resolvectl", "flush-caches"};

}  // namespace tq8::core
