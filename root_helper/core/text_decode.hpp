// Decoding of child output: strict UTF-8, line breaks to LF, Python's str.strip() trimming.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tq8::core {

// Offset of the first byte that starts an ill-formed sequence as Python's strict decoder sees
// it (no overlongs, no surrogates, nothing above U+10FFFF): the position its UnicodeDecodeError
// names; nullopt when s is well-formed.
std::optional<std::size_t> utf8_error_offset(std::string_view s);

// The words of s as Python's str.split() with no argument finds them: runs of the characters
// for which str.isspace() is true separate, and none is empty; the words are views into s. A byte that is not part of
// a well-formed sequence counts as one non-space.
std::vector<std::string_view> split_whitespace(std::string_view s);

// The pieces of s between its "\n" bytes, as views into s: a text that ends in "\n" (or is
// empty) gives a last piece that is empty. Records and command output are read line by line.
std::vector<std::string_view> split_lines(std::string_view s);

// Removes from both ends every character for which Python's str.isspace() is true. s must be
// valid UTF-8.
std::string strip_whitespace(std::string_view s);

// A child's output as the runtime decodes it, in place: strict UTF-8, CR LF and lone CR to LF,
// then strip_whitespace; false (s untouched) when s is not valid UTF-8.
bool decode_output_in_place(std::string& s);

}  // namespace tq8::core
