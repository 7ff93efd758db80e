// The kernel's tables of UDP sockets: addresses in their notation, and the lines' fields.
#include "root_helper/core/udp_table.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "root_helper/core/text_decode.hpp"

namespace tq8::core {
namespace {

// What ends a line for a text reader ("\r\n" counts as one).
constexpr std::string_view kLineBreaks = "\n\r\v\f\x1c\x1d\x1e";

// Fields 1 (the local address) and 7 (the owner's uid) of a socket line, whose fields are split
// as str.split() splits them.
UdpSocket socket_of(std::string_view line) {
    const auto fields = split_whitespace(line);
    return {fields.size() > 1 ? fields[1] : "", fields.size() > 7 ? fields[7] : ""};
}

}  // namespace

std::string udp_table_address(const std::string& ip, std::uint16_t port) {
    // The kernel prints each word with %08X as it lies in memory (network order), so the
    // same formatting here gives its text on either byte order.
    std::uint32_t words[4];
    const bool v6 = ip.find(':') != std::string::npos;
    if (::inet_pton(v6 ? AF_INET6 : AF_INET, ip.c_str(), words) != 1) return "";
    char text[42];
    std::size_t len = 0;
    for (std::size_t k = 0; k < (v6 ? 4u : 1u); ++k)
        len += std::snprintf(text + len, sizeof text - len, "%08X", words[k]);
    std::snprintf(text + len, sizeof text - len, ":%04X", static_cast<unsigned>(port));
    return text;
}

std::vector<UdpSocket> udp_sockets(std::string_view table) {
    std::vector<UdpSocket> sockets;
    for (std::size_t pos = 0, line = 0; pos < table.size(); ++line) {
        const std::size_t end = std::min(table.find_first_of(kLineBreaks, pos), table.size());
        if (line > 0) sockets.push_back(socket_of(table.substr(pos, end - pos)));
        pos = end + (table.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    }
    return sockets;
}

}  // namespace tq8::core
