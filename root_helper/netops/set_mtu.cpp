// set_mtu: an interface's MTU, and the MSS clamp that keeps TCP working below it.
#include <algorithm>

#include "root_helper/core/texts.hpp"
#include "root_helper/netops/netops.hpp"

namespace tq8::netops {

namespace {

// No interface and no "-w": the rule is for every connection request leaving or forwarded.
const std::vector<std::string> kMssRule = {"POSTROUTING", "-p",   "tcp",    "--tcp-flags",
                                           "SYN,RST",     "SYN",  "-j",     "TCPMSS",
                                           "--clamp-mss-to-pmtu"};

}  // namespace

std::vector<std::string> mss_clamp_command(const char* rule_command) {
    std::vector<std::string> argv = {"iptables", "-t", "mangle", rule_command};
    argv.insert(argv.end(), kMssRule.begin(), kMssRule.end());
    return argv;
}

std::vector<std::string> link_mtu_command(const std::string& device, const std::string& mtu) {
    return {"ip", "link", "set", "dev", device, "mtu", mtu};
}

core::Record set_mtu(core::CommandRunner& runner, const std::string& interface, long long mtu,
                     const TunnelPaths& state) {
    // Silent: the record's "mtu" is what the caller learns about the clamping.
    const long long clamped = std::clamp<long long>(mtu, kMinLinkMtu, kEthernetMtu);
    const std::string mtu_val = std::to_string(clamped);

    core::Record record;
    const auto before = state.link_state(interface);
    const auto set = core::run_logged(runner, record.logs, link_mtu_command(interface, mtu_val));
    // What the link has now is what the helper set: the kernel's answer, not the request.
    if (before && set.rc == 0)
        if (const auto after = state.link_state(interface)) remember_mtu(state, interface, *before, *after);

    // Checked first so that repeated calls leave a single copy of the rule; a check that
    // cannot run at all counts as "missing" and the add reports why.
    if (runner.run(mss_clamp_command("-C")).rc != 0)
        core::run_logged(runner, record.logs, std::string(texts::kMssClampCmd),
                         mss_clamp_command("-A"));

    record.ok = set.rc == 0;
    record.state = {{"mtu", clamped}, {"interface", interface}};
    return record;
}

}  // namespace tq8::netops
