// Decimal integer texts of any size, saturated to long long.
#pragma once

#include <climits>
#include <optional>
#include <string_view>

namespace tq8::core {

// Parses an optionally signed decimal integer, saturating at the limits of long long.
// nullopt when s is not such a number.
inline std::optional<long long> parse_saturating(std::string_view s) {
    std::size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    if (i == s.size()) return std::nullopt;
    long long v = 0;
    for (; i < s.size(); ++i) {
        const char ch = s[i];
        if (ch < '0' || ch > '9') return std::nullopt;
        const int d = ch - '0';
        // Accumulate on the sign's own side so that LLONG_MIN itself is reachable.
        if (negative) v = v < (LLONG_MIN + d) / 10 ? LLONG_MIN : v * 10 - d;
        else v = v > (LLONG_MAX - d) / 10 ? LLONG_MAX : v * 10 + d;
    }
    return v;
}

}  // namespace tq8::core
