// The nat rule that sends stub queries to the shield: its one builder, and remove_dns_redirect,
// which deletes every copy of it.
#include <string>
#include <vector>

#include "root_helper/core/constants.hpp"
#include "root_helper/dns_shield/dns_shield.hpp"

namespace tq8::dns_shield {

std::vector<std::string> redirect_command(const char* rule_command) {
    std::vector<std::string> argv = core::IPT;
    argv.emplace_back(rule_command);
    argv.insert(argv.end(), core::DNAT_RULE.begin(), core::DNAT_RULE.end());
    return argv;
}

bool remove_dns_redirect(core::CommandRunner& runner) {
    // -D removes one copy per call and earlier runs may have left several. Deleting only
    // after a check that saw the rule keeps a missing iptables (or a lost lock) from looking
    // like work left undone: any check that answers "no" means nothing is left to remove.
    // A check killed by a signal gave no answer (a signal sent to the starter's process group
    // reaches a program before it has a group of its own): the rule may still be there, so it
    // counts as present, and the next check decides.
    const auto absent = [&] { return runner.run(redirect_command("-C")).rc > 0; };
    // Bounded so that a rule that will not go (or a check that lies) cannot hold the caller.
    constexpr int kMaxDeletions = 5;
    for (int i = 0; i < kMaxDeletions; ++i) {
        if (absent()) return true;
        runner.run(redirect_command("-D"));
    }
    return absent();
}

}  // namespace tq8::dns_shield
