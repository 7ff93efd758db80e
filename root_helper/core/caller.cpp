// Stand-in for the caller identity reader until it lands: PKEXEC_UID, read by one rule.
#include "root_helper/core/caller.hpp"

#include <cstdlib>

namespace tq8::core {

Caller caller_from(const char* pkexec_uid) {
    Caller c;
    if (!pkexec_uid) return c;
    c.text = pkexec_uid;
    const std::string& t = *c.text;
    if (t.empty() || t.size() > 10 || t.find_first_not_of("0123456789") != std::string::npos)
        return c;
    const unsigned long long v = std::strtoull(t.c_str(), nullptr, 10);
    if (v < static_cast<uid_t>(-1)) c.uid = static_cast<uid_t>(v);
    return c;
}

Caller caller() { return caller_from(std::getenv("PKEXEC_UID")); }

}  // namespace tq8::core
