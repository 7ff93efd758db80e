// The default-route device lookup shared by the tunnel and the reset.
#include <string_view>

#include "root_helper/netops/netops.hpp"

namespace tq8::netops {

const std::vector<std::string> kDefaultRouteCmd = {"ip", "-o", "-4", "route", "show", "to",
                                                   "default"};

namespace {

// Length of the white-space character at the front of s (0 when there is none). The set is
// the one Python's str.split() splits at, so a route line tokenises as the application's own
// code would tokenise it.
std::size_t space_len(std::string_view s) {
    if (s.empty()) return 0;
    const auto b0 = static_cast<unsigned char>(s[0]);
    if (b0 == ' ' || (b0 >= 0x09 && b0 <= 0x0d) || (b0 >= 0x1c && b0 <= 0x1f)) return 1;
    if (s.size() >= 2 && b0 == 0xc2) {
        const auto b1 = static_cast<unsigned char>(s[1]);
        if (b1 == 0x85 || b1 == 0xa0) return 2;
    }
    if (s.size() >= 3) {
        const auto b1 = static_cast<unsigned char>(s[1]);
        const auto b2 = static_cast<unsigned char>(s[2]);
        if (b0 == 0xe1 && b1 == 0x9a && b2 == 0x80) return 3;                  // U+1680
        if (b0 == 0xe2 && b1 == 0x80 && (b2 <= 0x8a || b2 == 0xa8 || b2 == 0xa9 || b2 == 0xaf))
            return 3;                                     // U+2000..200A, U+2028/2029, U+202F
        if (b0 == 0xe2 && b1 == 0x81 && b2 == 0x9f) return 3;                  // U+205F
        if (b0 == 0xe3 && b1 == 0x80 && b2 == 0x80) return 3;                  // U+3000
    }
    return 0;
}

std::vector<std::string_view> split_whitespace(std::string_view s) {
    std::vector<std::string_view> tokens;
    std::size_t i = 0;
    while (i < s.size()) {
        if (std::size_t n = space_len(s.substr(i)); n != 0) {
            i += n;
            continue;
        }
        std::size_t j = i;
        while (j < s.size() && space_len(s.substr(j)) == 0) ++j;
        tokens.push_back(s.substr(i, j - i));
        i = j;
    }
    return tokens;
}

}  // namespace

std::optional<std::string> default_route_device(const core::CommandResult& route) {
    if (route.rc != 0 || route.out.find("dev ") == std::string::npos) return std::nullopt;
    const auto parts = split_whitespace(route.out);
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (parts[i] != "dev") continue;
        // ip never ends a route line with "dev"; should it ever, there is no device to name,
        // and guessing one would change the MTU of the wrong link.
        if (i + 1 == parts.size()) return std::nullopt;
        return std::string(parts[i + 1]);
    }
    return std::nullopt;
}

}  // namespace tq8::netops
