// The kernel's tables of UDP sockets: addresses in their notation, and the lines' fields.
#include "root_helper/core/udp_table.hpp"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

namespace tq8::core {
namespace {

bool is_line_break(char c) {
    return c == '\n' || c == '\r' || c == '\v' || c == '\f' || c == '\x1c' || c == '\x1d' ||
           c == '\x1e';
}

bool is_field_space(char c) { return c == ' ' || c == '\t' || is_line_break(c) || c == '\x1f'; }

UdpSocket socket_of(std::string_view line) {
    UdpSocket s;
    std::size_t i = 0;
    for (int index = 0; index <= 7; ++index) {
        while (i < line.size() && is_field_space(line[i])) ++i;
        if (i == line.size()) break;
        const std::size_t start = i;
        while (i < line.size() && !is_field_space(line[i])) ++i;
        if (index == 1) s.address = line.substr(start, i - start);
        if (index == 7) s.uid = line.substr(start, i - start);
    }
    return s;
}

}  // namespace

std::string udp_table_address(const std::string& ip, std::uint16_t port) {
    // The kernel prints each word with %08X as it lies in memory (network order), so the
    // same formatting here gives its text on either byte order.
    unsigned char bytes[16];
    const bool v6 = ip.find(':') != std::string::npos;
    if (::inet_pton(v6 ? AF_INET6 : AF_INET, ip.c_str(), bytes) != 1) return "";
    std::string out;
    char word[9];
    for (std::size_t at = 0; at < (v6 ? 16u : 4u); at += 4) {
        std::uint32_t w;
        std::memcpy(&w, bytes + at, sizeof w);
        std::snprintf(word, sizeof word, "%08X", static_cast<unsigned>(w));
        out += word;
    }
    char tail[6];
    std::snprintf(tail, sizeof tail, "%04X", static_cast<unsigned>(port));
    return out + ":" + tail;
}

std::vector<UdpSocket> udp_sockets(std::string_view table) {
    std::vector<UdpSocket> sockets;
    std::size_t pos = 0;
    for (bool header = true; pos < table.size(); header = false) {
        std::size_t end = pos;
        while (end < table.size() && !is_line_break(table[end])) ++end;
        if (!header) sockets.push_back(socket_of(table.substr(pos, end - pos)));
        pos = end;
        if (pos < table.size()) {
            if (table[pos] == '\r' && pos + 1 < table.size() && table[pos + 1] == '\n') ++pos;
            ++pos;
        }
    }
    return sockets;
}

}  // namespace tq8::core
