// The kernel's tables of UDP sockets (/proc/net/udp and /proc/net/udp6): the one reader.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tq8::core {

inline const std::string kUdpTable = "/proc/net/udp";
inline const std::string kUdp6Table = "/proc/net/udp6";

// ip (IPv4 or IPv6 text) with port the way the tables print a local address: each 32-bit word
// of the address in hex as the machine stores it, a colon, the port in hex. On little-endian
// machines 127.0.0.1:5354 is 0100007F:14EA. "" when ip is no address.
std::string udp_table_address(const std::string& ip, std::uint16_t port);

// One socket line: field 1 (the local address) and field 7 (the owner's uid); the uid is empty
// for a truncated line, which is no evidence of ownership.
struct UdpSocket {
    std::string_view address, uid;
};

// The sockets of a table's text, its header line left out. The text is split the way a text
// reader splits it: "\n", "\r", "\r\n", "\v", "\f" and \x1c..\x1e end a line, and the white
// space of str.split() separates fields.
std::vector<UdpSocket> udp_sockets(std::string_view table);

}  // namespace tq8::core
