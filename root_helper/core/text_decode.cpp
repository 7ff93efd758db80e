// Decoding of child output: strict UTF-8, line breaks to LF, Python's white-space trimming.
#include "root_helper/core/text_decode.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

namespace tq8::core {
namespace {

using Bytes = const unsigned char*;

// True for exactly the code points for which Python's str.isspace() is true.
bool is_python_space(char32_t c) noexcept {
    if (c < 0x80) return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20);
    return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) ||
           c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// The length of the well-formed sequence at p[i] as Python's strict decoder sees it (no
// overlongs, no surrogates, nothing above U+10FFFF), or 0 when none starts there.
std::size_t sequence_at(Bytes p, std::size_t i, std::size_t n) {
    const unsigned char c = p[i];
    if (c < 0x80) return 1;
    // The second byte's range is what rules out overlongs (E0, F0), surrogates (ED) and
    // code points above U+10FFFF (F4); C0, C1 and F5..FF never start a sequence.
    if (c < 0xC2 || c > 0xF4) return 0;
    const std::size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
    const unsigned char lo = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
    const unsigned char hi = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
    if (i + len > n || p[i + 1] < lo || p[i + 1] > hi) return 0;
    for (std::size_t k = 2; k < len; ++k) {
        if ((p[i + k] & 0xC0) != 0x80) return 0;
    }
    return len;
}

// The code point at p[i] and its length. A byte that starts no well-formed sequence reads as a
// one-byte non-space: split_whitespace sees a child's output as it came, and a broken lead
// byte must not swallow the separator after it.
std::pair<char32_t, std::size_t> decode_at(Bytes p, std::size_t i, std::size_t n) {
    const std::size_t len = sequence_at(p, i, n);
    if (len == 0) return {U'\uFFFD', 1};
    if (len == 1) return {p[i], 1};
    char32_t cp = p[i] & (0x7F >> len);
    for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (p[i + k] & 0x3F);
    return {cp, len};
}

// The first offset from i on whose character is not white space (space: is), or n.
std::size_t skip_while(Bytes p, std::size_t i, std::size_t n, bool space) {
    while (i < n) {
        const auto [cp, len] = decode_at(p, i, n);
        if (is_python_space(cp) != space) break;
        i += len;
    }
    return i;
}

}  // namespace

std::string strip_whitespace(std::string_view s) {
    const auto p = reinterpret_cast<Bytes>(s.data());
    const std::size_t b = skip_while(p, 0, s.size(), true);
    std::size_t e = s.size();
    while (e > b) {
        std::size_t k = e - 1;
        while (k > b && (p[k] & 0xC0) == 0x80 && e - k < 4) --k;
        auto [cp, len] = decode_at(p, k, e);
        if (len != e - k || !is_python_space(cp)) break;
        e = k;
    }
    return std::string(s.substr(b, e - b));
}

std::optional<std::size_t> utf8_error_offset(std::string_view s) {
    const auto p = reinterpret_cast<Bytes>(s.data());
    const std::size_t n = s.size();
    std::size_t i = 0;
    while (i < n) {
        // Child output is mostly ASCII: step over it eight bytes at a time, then byte by byte.
        while (i + 8 <= n) {
            std::uint64_t w;
            std::memcpy(&w, p + i, 8);
            if (w & 0x8080808080808080ULL) break;
            i += 8;
        }
        while (i < n && p[i] < 0x80) ++i;
        if (i >= n) break;
        const std::size_t len = sequence_at(p, i, n);
        if (len == 0) return i;
        i += len;
    }
    return std::nullopt;
}

std::vector<std::string_view> split_lines(std::string_view s) {
    std::vector<std::string_view> lines;
    for (std::size_t at = 0;;) {
        const std::size_t nl = s.find('\n', at);
        lines.push_back(s.substr(at, nl == std::string_view::npos ? nl : nl - at));
        if (nl == std::string_view::npos) return lines;
        at = nl + 1;
    }
}

std::vector<std::string_view> split_whitespace(std::string_view s) {
    const auto p = reinterpret_cast<Bytes>(s.data());
    std::vector<std::string_view> words;
    std::size_t i = skip_while(p, 0, s.size(), true);
    while (i < s.size()) {
        const std::size_t end = skip_while(p, i, s.size(), false);
        words.push_back(s.substr(i, end - i));
        i = skip_while(p, end, s.size(), true);
    }
    return words;
}

bool decode_output_in_place(std::string& s) {
    if (utf8_error_offset(s)) return false;
    // CR LF and lone CR to LF, in one pass from the first CR on.
    std::size_t w = std::min(s.find('\r'), s.size());
    for (std::size_t r = w; r < s.size(); ++r) {
        const bool cr = s[r] == '\r';
        s[w++] = cr ? '\n' : s[r];
        if (cr && r + 1 < s.size() && s[r + 1] == '\n') ++r;
    }
    s.resize(w);
    s = strip_whitespace(s);
    return true;
}

}  // namespace tq8::core
