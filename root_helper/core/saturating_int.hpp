// Decimal integer texts of any size, saturated to long long.
#pragma once

#include <optional>
#include <string_view>

namespace tq8::core {

// Parses an optionally signed decimal integer, saturating at the limits of long long.
// nullopt when s is not such a number.
std::optional<long long> parse_saturating(std::string_view s);

}  // namespace tq8::core
