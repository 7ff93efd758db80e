// Decoding of child output: the UTF-8 check, line breaks, trimming and integer parsing.
#include "root_helper/core/text_decode.hpp"
#include "root_helper/core/saturating_int.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tq8::core {
namespace {

std::string utf8(char32_t c) {
    std::string s;
    if (c < 0x80) {
        s += static_cast<char>(c);
    } else if (c < 0x800) {
        s += static_cast<char>(0xC0 | (c >> 6));
        s += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        s += static_cast<char>(0xE0 | (c >> 12));
        s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        s += static_cast<char>(0xF0 | (c >> 18));
        s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (c & 0x3F));
    }
    return s;
}

// decode_output_in_place on a copy: the decoded text, or nullopt.
std::optional<std::string> decoded(std::string s) {
    if (!decode_output_in_place(s)) return std::nullopt;
    return s;
}

// Python 3.12: [c for c in range(0x110000) if chr(c).isspace()]
const std::set<char32_t> kPythonSpace = {
    0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x1C, 0x1D, 0x1E, 0x1F, 0x20, 0x85, 0xA0, 0x1680,
    0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200A,
    0x2028, 0x2029, 0x202F, 0x205F, 0x3000};

TEST(TextDecode, WhiteSpaceIsExactlyPythons) {
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF) continue;
        ASSERT_EQ(strip_whitespace(utf8(c)).empty(), kPythonSpace.count(c) == 1)
            << std::hex << "U+" << static_cast<unsigned>(c);
    }
    for (char32_t c : kPythonSpace) {
        const std::string w = utf8(c);
        EXPECT_EQ(strip_whitespace(w + w + "x" + w + "y" + w), "x" + w + "y") << std::hex << static_cast<unsigned>(c);
        EXPECT_EQ(split_whitespace(w + "dev" + w + w + "é0" + w),
                  (std::vector<std::string_view>{"dev", "é0"})) << std::hex << static_cast<unsigned>(c);
    }
    // Look-alikes that Python keeps: zero-width space, word joiner, BOM, Mongolian vowel
    // separator (white space in older Unicode), NUL.
    for (char32_t c : {0x200B, 0x2060, 0xFEFF, 0x180E, 0x00}) {
        const std::string w = utf8(c);
        EXPECT_EQ(strip_whitespace(" " + w + " "), w) << std::hex << static_cast<unsigned>(c);
        EXPECT_EQ(split_whitespace("a" + w + "b"), std::vector<std::string_view>{"a" + w + "b"});
    }
    EXPECT_EQ(strip_whitespace(" \t\n "), "");
    EXPECT_EQ(strip_whitespace(""), "");
    EXPECT_TRUE(split_whitespace(" \t\n ").empty());
    EXPECT_EQ(split_whitespace("dev \xff\tx \xe2\x80"),
              (std::vector<std::string_view>{"dev", "\xff", "x", "\xe2\x80"}));
    // White space spelled in ill-formed sequences (overlong, surrogate) is no separator either.
    for (const char* bad :
         {"\xc0\xa0", "\xc0\x8a", "\xe0\x80\xa0", "\xf0\x80\x80\x89", "\xed\xa0\x80"}) {
        const std::string word = std::string("a") + bad + "b";
        EXPECT_EQ(split_whitespace(" " + word + " "), std::vector<std::string_view>{word});
    }
}

TEST(TextDecode, Utf8IsCheckedAsStrictlyAsPython) {
    struct Case {
        std::string text;
        std::optional<std::size_t> error_at;
    };
    const Case cases[] = {
        {"", {}},
        {std::string("a\0b", 3), {}},
        {"\xC3\xA7\xE2\x82\xAC\xF0\x9F\x98\x80", {}},  // ç € and an emoji
        {"\xED\x9F\xBF\xEE\x80\x80", {}},              // U+D7FF, U+E000: around the surrogates
        {"\xF4\x8F\xBF\xBF", {}},                      // U+10FFFF
        {"\xC0\x80", 0},                               // overlong NUL
        {"\xC1\xBF", 0},
        {"\xE0\x9F\xBF", 0},                           // overlong three-byte
        {"\xF0\x8F\xBF\xBF", 0},                       // overlong four-byte
        {"ab\xED\xA0\x80", 2},                         // U+D800
        {"\xED\xBF\xBF", 0},                           // U+DFFF
        {"\xF4\x90\x80\x80", 0},                       // U+110000
        {"\xF5\x80\x80\x80", 0},
        {"\xFF", 0},
        {"x\x80", 1},                                  // lone continuation byte
        {"ab\xE2\x82", 2},                             // truncated at the end
        {"\xE2\x28\xA1", 0},                           // continuation missing in the middle
        {"abcdefghij\xC3(", 10},                       // after the eight-byte ASCII stride
        {"abcdefgh\xC3\xA7" "abcdefgh\xFE", 18},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(utf8_error_offset(c.text), c.error_at) << c.text;
        EXPECT_EQ(decoded(c.text).has_value(), !c.error_at) << c.text;
    }
}

TEST(TextDecode, LineBreaksBecomeLf) {
    const std::pair<std::string, std::string> cases[] = {
        {"a\r\nb", "a\nb"},   {"a\rb", "a\nb"},         {"\r\r\n", "\n\n"},
        {"\n\r", "\n\n"},     {"a\r", "a\n"},           {"\r\n\r\n", "\n\n"},
        {"no breaks", "no breaks"}, {"a\n\nb", "a\n\nb"},
    };
    for (const auto& [in, want] : cases) EXPECT_EQ(decoded("<" + in + ">"), "<" + want + ">") << in;
}

// Records and command output are read line by line: only "\n" ends a line, every piece is kept.
TEST(TextDecode, SplitLinesKeepsEveryPiece) {
    using V = std::vector<std::string_view>;
    const std::pair<std::string_view, V> cases[] = {
        {"", V{""}},
        {"a", V{"a"}},
        {"a\n", V{"a", ""}},
        {"a\n\nb c\r", V{"a", "", "b c\r"}},
        {"\n", V{"", ""}},
    };
    for (const auto& [text, lines] : cases) EXPECT_EQ(split_lines(text), lines) << text;
}

TEST(TextDecode, DecodeNormalisesThenTrims) {
    EXPECT_EQ(decoded("  \r\n x\r\ny \r\n\r"), "x\ny");
    EXPECT_EQ(decoded("a\r\rb\r\n"), "a\n\nb");
    EXPECT_EQ(decoded("\xC2\xA0" "ç\xE3\x80\x80"), "ç");
    EXPECT_EQ(decoded(" \xFF "), std::nullopt);

    std::string s = "bad \xC0\x80 ";
    EXPECT_FALSE(decode_output_in_place(s));
    EXPECT_EQ(s, "bad \xC0\x80 ");
}

TEST(TextDecode, ParseSaturating) {
    const std::pair<std::string, std::optional<long long>> cases[] = {
        {"0", 0}, {"-0", 0}, {"+12", 12}, {"-12", -12}, {"007", 7},
        {"9223372036854775807", LLONG_MAX},
        {"9223372036854775808", LLONG_MAX},
        {"1000000000000000000000000000000", LLONG_MAX},
        {"-9223372036854775808", LLONG_MIN},
        {"-9223372036854775809", LLONG_MIN},
        {"-99999999999999999999999999", LLONG_MIN},
        {"", {}}, {"-", {}}, {"+", {}}, {" 1", {}}, {"1 ", {}}, {"1a", {}}, {"0x10", {}},
        {"--1", {}}, {"+-1", {}}, {"99999999999999999999x", {}}, {"\xD9\xA1", {}},
    };
    for (const auto& [in, want] : cases) EXPECT_EQ(parse_saturating(in), want) << in;
}

}  // namespace
}  // namespace tq8::core
