// Decoding of child output.
#include "root_helper/core/text_decode.hpp"
namespace tq8::core {
bool is_valid_utf8(std::string_view) { return true; }
std::string normalize_newlines(std::string_view s) { return std::string(s); }
std::string strip_whitespace(std::string_view s) { return std::string(s); }
std::optional<std::string> decode_output(std::string_view raw) { return std::string(raw); }
std::optional<long long> parse_saturating(std::string_view) { return std::nullopt; }
}  // namespace tq8::core
