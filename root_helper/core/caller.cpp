// caller: PKEXEC_UID's one reading.
#include "root_helper/core/caller.hpp"

#include <cstdlib>

#include "root_helper/core/saturating_int.hpp"

namespace tq8::core {

Caller caller_from(const char* pkexec_uid) {
    Caller c;
    if (pkexec_uid == nullptr) return c;
    c.text = pkexec_uid;
    // Digits only: no sign, no blanks.
    const auto v = parse_saturating(*c.text);
    if (v && c.text->find_first_not_of("0123456789") == std::string::npos &&
        *v < static_cast<uid_t>(-1))
        c.uid = static_cast<uid_t>(*v);
    return c;
}

Caller caller() { return caller_from(std::getenv("PKEXEC_UID")); }

}  // namespace tq8::core
