// Fuzzes the decoding of child output against a slow, independent reference: strict UTF-8 as
// Python's decoder sees it, CR LF / lone CR to LF, str.strip()'s white-space set.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "root_helper/core/text_decode.hpp"

namespace {

// Code points, or nullopt at the first ill-formed sequence. Written from the Unicode table of
// well-formed byte sequences (Table 3-7), not from the library's state machine.
std::optional<std::vector<char32_t>> ref_decode(std::string_view s) {
    std::vector<char32_t> cps;
    std::size_t i = 0;
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    auto in = [](unsigned char b, unsigned lo, unsigned hi) { return b >= lo && b <= hi; };
    while (i < s.size()) {
        const unsigned char b0 = byte(i);
        std::size_t n = 0;
        char32_t cp = 0;
        unsigned lo1 = 0x80, hi1 = 0xbf;
        if (b0 <= 0x7f) { n = 1; cp = b0; }
        else if (in(b0, 0xc2, 0xdf)) { n = 2; cp = b0 & 0x1f; }
        else if (b0 == 0xe0) { n = 3; cp = b0 & 0x0f; lo1 = 0xa0; }
        else if (in(b0, 0xe1, 0xec) || in(b0, 0xee, 0xef)) { n = 3; cp = b0 & 0x0f; }
        else if (b0 == 0xed) { n = 3; cp = b0 & 0x0f; hi1 = 0x9f; }
        else if (b0 == 0xf0) { n = 4; cp = b0 & 0x07; lo1 = 0x90; }
        else if (in(b0, 0xf1, 0xf3)) { n = 4; cp = b0 & 0x07; }
        else if (b0 == 0xf4) { n = 4; cp = b0 & 0x07; hi1 = 0x8f; }
        else return std::nullopt;
        if (i + n > s.size()) return std::nullopt;
        for (std::size_t k = 1; k < n; ++k) {
            const unsigned char b = byte(i + k);
            if (k == 1 ? !in(b, lo1, hi1) : !in(b, 0x80, 0xbf)) return std::nullopt;
            cp = (cp << 6) | (b & 0x3f);
        }
        cps.push_back(cp);
        i += n;
    }
    return cps;
}

bool ref_isspace(char32_t c) {
    return (c >= 0x09 && c <= 0x0d) || (c >= 0x1c && c <= 0x20) || c == 0x85 || c == 0xa0 ||
           c == 0x1680 || (c >= 0x2000 && c <= 0x200a) || c == 0x2028 || c == 0x2029 ||
           c == 0x202f || c == 0x205f || c == 0x3000;
}

std::string encode(const std::vector<char32_t>& cps, std::size_t from, std::size_t to) {
    std::string out;
    for (std::size_t i = from; i < to; ++i) {
        const char32_t c = cps[i];
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xc0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3f));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xe0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (c & 0x3f));
        } else {
            out += static_cast<char>(0xf0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (c & 0x3f));
        }
    }
    return out;
}

std::vector<char32_t> ref_newlines(const std::vector<char32_t>& in) {
    std::vector<char32_t> out;
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] == U'\r') {
            out.push_back(U'\n');
            if (i + 1 < in.size() && in[i + 1] == U'\n') ++i;
        } else {
            out.push_back(in[i]);
        }
    }
    return out;
}

std::string ref_strip(const std::vector<char32_t>& cps) {
    std::size_t b = 0, e = cps.size();
    while (b < e && ref_isspace(cps[b])) ++b;
    while (e > b && ref_isspace(cps[e - 1])) --e;
    return encode(cps, b, e);
}

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tq8::core;
    const std::string_view raw(reinterpret_cast<const char*>(data), size);

    const auto cps = ref_decode(raw);
    check(!utf8_error_offset(raw).has_value() == cps.has_value());

    std::string decoded(raw);
    check(decode_output_in_place(decoded) == cps.has_value());
    if (!cps) return 0;

    const auto lf = ref_newlines(*cps);
    const std::string expected = ref_strip(lf);
    check(decoded == expected);
    check(strip_whitespace(encode(lf, 0, lf.size())) == expected);
    check(decoded.find('\r') == std::string::npos);
    // Idempotent: a decoded text decodes to itself.
    std::string again = decoded;
    check(decode_output_in_place(again) && again == decoded);
    return 0;
}
