// Decoding of child output: strict UTF-8, line breaks to LF, Python's str.strip() trimming.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tq8::core {

// True when s is well-formed UTF-8 as Python's strict decoder sees it (no overlongs, no
// surrogates, nothing above U+10FFFF).
bool is_valid_utf8(std::string_view s);

// CR LF and lone CR become LF.
std::string normalize_newlines(std::string_view s);

// Removes from both ends every character for which Python's str.isspace() is true. s must be
// valid UTF-8.
std::string strip_whitespace(std::string_view s);

// The three steps above in order; nullopt when s is not valid UTF-8.
std::optional<std::string> decode_output(std::string_view raw);

// Parses an optionally signed decimal integer, saturating at the limits of long long.
// nullopt when s is not such a number.
std::optional<long long> parse_saturating(std::string_view s);

}  // namespace tq8::core
