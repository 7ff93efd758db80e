// PKEXEC_UID's one reading.
#include "root_helper/core/caller.hpp"

#include <gtest/gtest.h>

namespace tq8::core {
namespace {

TEST(Caller, OneRuleForPkexecUid) {
    struct Case {
        const char* value;
        std::optional<uid_t> uid;
        bool unknown;
    };
    const Case cases[] = {
        {nullptr, std::nullopt, false},  // not started by pkexec: acts for root
        {"1000", 1000, false},
        {"0", 0, false},
        {"007", 7, false},
        {"4294967294", 4294967294u, false},
        {"4294967295", std::nullopt, true},  // (uid_t)-1: "unchanged" to setresuid
        {"99999999999999999999999", std::nullopt, true},
        {"", std::nullopt, true},
        {"-1", std::nullopt, true},
        {"+1000", std::nullopt, true},
        {"1000 ", std::nullopt, true},
        {"1000\nuser=0", std::nullopt, true},
        {"root", std::nullopt, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value ? c.value : "(unset)");
        const Caller who = caller_from(c.value);
        EXPECT_EQ(who.text, c.value ? std::optional<std::string>(c.value) : std::nullopt);
        EXPECT_EQ(who.uid, c.uid);
        EXPECT_EQ(who.unknown(), c.unknown);
    }
}

}  // namespace
}  // namespace tq8::core
