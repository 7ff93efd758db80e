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

namespace {

// Bounded so that a rule that will not go (or a check that lies) cannot hold the caller.
constexpr int kMaxDeletions = 5;

}  // namespace

bool remove_dns_redirect(core::CommandRunner& runner) {
    const auto check = redirect_command("-C");
    const auto remove = redirect_command("-D");
    // -D removes one copy per call and earlier runs may have left several. Deleting only
    // after a check that saw the rule keeps a missing iptables (or a lost lock) from looking
    // like work left undone: any failing check means nothing is left to remove.
    for (int i = 0; i < kMaxDeletions; ++i) {
        if (runner.run(check).rc != 0) return true;
        runner.run(remove);
    }
    return runner.run(check).rc != 0;
}

}  // namespace tq8::dns_shield
