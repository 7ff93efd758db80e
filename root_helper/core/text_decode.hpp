// Decoding of child output: strict UTF-8, line breaks to LF, Python's str.strip() trimming.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tq8::core {

// True when s is well-formed UTF-8 as Python's strict decoder sees it (no overlongs, no
// surrogates, nothing above U+10FFFF).
bool is_valid_utf8(std::string_view s);

// Offset of the first byte that starts an ill-formed sequence (the position Python's
// UnicodeDecodeError names); nullopt when s is well-formed.
std::optional<std::size_t> utf8_error_offset(std::string_view s);

// True for exactly the code points for which Python's str.isspace() is true.
bool is_python_space(char32_t c) noexcept;

// The words of s as Python's str.split() with no argument finds them: runs of the characters
// above separate, and none is empty; the words are views into s. A byte that is not part of
// a well-formed sequence counts as one non-space.
std::vector<std::string_view> split_whitespace(std::string_view s);

// CR LF and lone CR become LF.
std::string normalize_newlines(std::string_view s);

// Removes from both ends every character for which Python's str.isspace() is true. s must be
// valid UTF-8.
std::string strip_whitespace(std::string_view s);

// The three steps above in order; nullopt when s is not valid UTF-8.
std::optional<std::string> decode_output(std::string_view raw);

// decode_output without a copy: s is rewritten in place; false (s untouched) when s is not
// valid UTF-8.
bool decode_output_in_place(std::string& s);

}  // namespace tq8::core
