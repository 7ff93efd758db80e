// remove_killswitch_chain: the kill switch's removal, shared by the switch and the reset.
#include <string_view>

#include "root_helper/core/constants.hpp"
#include "root_helper/netops/netops.hpp"

namespace tq8::netops {

namespace {

// Enough for any pile-up that interleaved runs could have left; bounds the loop should
// iptables ever keep reporting success without removing anything.
constexpr int kMaxJumpDeletes = 64;

// True when -X failed because rules still jump to the chain. The wording differs by backend:
// the legacy one says "Too many links" (EMLINK), the nf_tables one
// "CHAIN_DEL failed (Device or resource busy)", older ones "CHAIN_USER_DEL failed".
bool still_referenced(const core::CommandResult& r) {
    if (r.rc == 0) return false;
    for (std::string_view mark : {"Too many links", "resource busy", "CHAIN_USER_DEL",
                                  "CHAIN_DEL", "referenc"}) {
        if (r.err.find(mark) != std::string::npos) return true;
    }
    return false;
}

}  // namespace

const char* firewall_program(IpFamily family) {
    return family == IpFamily::kV6 ? "ip6tables" : "iptables";
}

std::vector<std::string> killswitch_command(IpFamily family, const char* command,
                                            std::initializer_list<std::string> tail) {
    std::vector<std::string> argv = {firewall_program(family), command, core::kKillswitchChain};
    argv.insert(argv.end(), tail);
    return argv;
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
    for (int i = 0; i < kMaxJumpDeletes; ++i) {
        if (runner.run(delete_jump).rc != 0) break;
    }
    runner.run(flush_chain);
    return runner.run(delete_chain).rc == 0;
}

}  // namespace tq8::netops
