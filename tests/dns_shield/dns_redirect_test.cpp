// remove_dns_redirect: the check/delete alternation against a scripted iptables.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_runner.hpp"
#include "root_helper/dns_shield/dns_shield.hpp"

namespace tq8::dns_shield {
namespace {

using Argv = std::vector<std::string>;

Argv rule(const char* command) {
    return {"iptables", "-w", "5", "-t", "nat", command, "OUTPUT", "-p", "udp", "-d",
            "127.0.0.53", "--dport", "53", "-j", "DNAT", "--to-destination", "127.0.0.1:5354"};
}

// A nat OUTPUT chain holding `copies` identical redirect rules, as iptables would treat it.
// The first `killed` checks die of SIGTERM before they can answer.
struct Chain {
    int copies;
    int killed = 0;
    testing::FakeRunner runner;
    explicit Chain(int n, int k = 0) : copies(n), killed(k) {
        runner.fallback([this](const Argv& argv) -> core::CommandResult {
            if (argv == rule("-C") && killed > 0) {
                --killed;
                return {-15, "", ""};
            }
            if (argv == rule("-C")) {
                if (copies > 0) return {0, "", ""};
                return {1, "", "iptables: Bad rule (does a matching rule exist in that chain?)."};
            }
            if (argv == rule("-D") && copies > 0) {
                --copies;
                return {0, "", ""};
            }
            return {1, "", "unexpected"};
        });
    }
};

TEST(RemoveDnsRedirect, AlternatesCheckAndDeleteUpToFiveDeletions) {
    struct Case {
        int copies;
        bool result;
        int deletions;
        int left;
    } cases[] = {{0, true, 0, 0}, {1, true, 1, 0}, {3, true, 3, 0}, {5, true, 5, 0},
                 {7, false, 5, 2}};
    for (const auto& c : cases) {
        Chain chain(c.copies);
        EXPECT_EQ(remove_dns_redirect(chain.runner), c.result) << c.copies << " copies";
        EXPECT_EQ(chain.copies, c.left) << c.copies << " copies";
        // Expected sequence: C, (D, C) per deletion; never a deletion that no check preceded.
        std::vector<Argv> expected{rule("-C")};
        for (int i = 0; i < c.deletions; ++i) {
            expected.push_back(rule("-D"));
            expected.push_back(rule("-C"));
        }
        EXPECT_EQ(chain.runner.calls, expected) << c.copies << " copies";
    }
}

TEST(RemoveDnsRedirect, AFailingCheckMeansNothingIsLeft) {
    // iptables missing: the runner's own failure triple.
    testing::FakeRunner runner;
    runner.default_result = {1, "", "Komut çalıştırma hatası (iptables ...): not found"};
    EXPECT_TRUE(remove_dns_redirect(runner));
    EXPECT_EQ(runner.calls, std::vector<Argv>{rule("-C")});
}

TEST(RemoveDnsRedirect, ACheckKilledBySignalIsNoAnswer) {
    // A guard ended by a signal to its starter's group: the check run during the clean-up is
    // killed too. The rule must not be taken for gone.
    struct Case {
        int copies;
        int killed;  // how many of the first checks die of SIGTERM
        bool result;
        int left;
    } cases[] = {{1, 1, true, 0}, {1, 3, true, 0}, {0, 1, true, 0}, {1, 6, false, 0}};
    for (const auto& c : cases) {
        Chain chain(c.copies, c.killed);
        EXPECT_EQ(remove_dns_redirect(chain.runner), c.result) << c.killed << " killed";
        EXPECT_EQ(chain.copies, c.left) << c.killed << " killed";
    }
}

TEST(RemoveDnsRedirect, AFailedDeletionIsJudgedByTheNextCheck) {
    // The lock is never obtained for -D: five attempts, then the rule is reported as left.
    testing::FakeRunner runner;
    runner.script(rule("-C"), {{0, "", ""}});
    runner.script(rule("-D"), {{4, "", "Another app is currently holding the xtables lock."}});
    EXPECT_FALSE(remove_dns_redirect(runner));
    EXPECT_EQ(runner.calls.size(), 11u);
}

}  // namespace
}  // namespace tq8::dns_shield
