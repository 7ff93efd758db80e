// Who asked for this run: the user pkexec authenticated, as PKEXEC_UID records it.
#pragma once

#include <sys/types.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "root_helper/core/saturating_int.hpp"

namespace tq8::core {

struct Caller {
    // PKEXEC_UID exactly as set; nullopt when the helper was started some other way (by root
    // directly, or imported into a Python process): it then acts for root.
    std::optional<std::string> text;
    // text as a uid: decimal digits only, below (uid_t)-1 (which setresuid reads as
    // "unchanged"); nullopt when unset, empty or not a uid.
    std::optional<uid_t> uid;

    // Set but naming no user the helper could act for (empty, or not a uid): such a caller
    // may read nothing and owns nothing.
    bool unknown() const noexcept { return text && !uid; }
};

// The one rule, on a value of PKEXEC_UID (nullptr: unset).
inline Caller caller_from(const char* pkexec_uid) {
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

// caller_from(getenv("PKEXEC_UID")): the one place the helper reads it.
inline Caller caller() { return caller_from(std::getenv("PKEXEC_UID")); }

}  // namespace tq8::core
