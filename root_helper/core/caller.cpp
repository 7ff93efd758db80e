// caller: PKEXEC_UID's one reading.
#include "root_helper/core/caller.hpp"

#include <cstdint>
#include <cstdlib>

namespace tq8::core {

Caller caller_from(const char* pkexec_uid) {
    Caller c;
    if (pkexec_uid == nullptr) return c;
    c.text = pkexec_uid;
    if (c.text->empty()) return c;
    std::uint64_t v = 0;
    for (const char ch : *c.text) {
        if (ch < '0' || ch > '9') return c;
        v = v * 10 + static_cast<unsigned>(ch - '0');
        if (v >= static_cast<uid_t>(-1)) return c;
    }
    c.uid = static_cast<uid_t>(v);
    return c;
}

Caller caller() { return caller_from(std::getenv("PKEXEC_UID")); }

}  // namespace tq8::core
