// The shield probes: who owns 127.0.0.1:5354 (kernel UDP table) and does it answer a query.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <string_view>
#include <system_error>

#include "root_helper/core/caller.hpp"
#include "root_helper/core/constants.hpp"
#include "root_helper/core/sys_io.hpp"
#include "root_helper/core/system_util.hpp"
#include "root_helper/core/udp_table.hpp"
#include "root_helper/core/unique_fd.hpp"
#include "root_helper/dns_shield/dns_shield.hpp"

namespace tq8::dns_shield {
namespace {

using namespace std::string_view_literals;

// RFC 1035 query, ID 0x12 0x34, RD set, one question: A/IN for a name on the shield's block
// list, so the shield answers it locally without asking anyone upstream.
constexpr std::string_view kProbeQuery =
    "\x12\x34"          // ID
    "\x01\x00"          // standard query, recursion desired
    "\x00\x01"          // QDCOUNT
    "\x00\x00"          // ANCOUNT
    "\x00\x00"          // NSCOUNT
    "\x00\x00"          // ARCOUNT
    "\x0b" "adtrackerzz"
    "\x03" "com"
    "\x00"
    "\x00\x01"          // QTYPE A
    "\x00\x01"sv;       // QCLASS IN
static_assert(kProbeQuery.size() == 33);

}  // namespace

bool shield_listening_in(std::string_view table, std::string_view table6,
                         std::string_view owner) {
    static const std::string shield =
        core::udp_table_address(core::kShieldHost, core::kShieldPort);
    static const std::string wildcard = core::udp_table_address("0.0.0.0", core::kShieldPort);
    static const std::string mapped =
        core::udp_table_address("::ffff:" + core::kShieldHost, core::kShieldPort);
    static const std::string wildcard6 = core::udp_table_address("::", core::kShieldPort);
    bool owned = false, foreign = false;
    const auto ours = [&](const core::UdpSocket& s) {
        return !s.uid.empty() && (s.uid == owner || s.uid == "0");
    };
    for (const auto& s : core::udp_sockets(table)) {
        if (s.address == shield && ours(s)) owned = true;
        else if (s.address == shield || s.address == wildcard) foreign |= !ours(s);
    }
    for (const auto& s : core::udp_sockets(table6))
        if (s.address == mapped || s.address == wildcard6) foreign |= !ours(s);
    return owned && !foreign;
}

bool shield_listening() {
    // A caller named by no uid owns nothing (only root's sockets count); none at all is root.
    const auto who = core::caller();
    const std::string owner = !who.text ? "0" : who.uid ? std::to_string(*who.uid) : "";
    const auto table = core::read_whole_file(core::kUdpTable);
    return table &&
           shield_listening_in(*table, core::read_whole_file(core::kUdp6Table).value_or(""), owner);
}

bool shield_answers(std::uint16_t port, int timeout_ms) {
    core::UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!sock) throw std::system_error(errno, std::system_category(), "socket");

    // Connected: the kernel then accepts replies only from the shield's own address and
    // port (a forged datagram from another local port cannot vouch for a dead shield), and
    // a closed port reports ECONNREFUSED at once instead of after the whole time-out.
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    ::inet_pton(AF_INET, core::kShieldHost.c_str(), &to.sin_addr);
    if (::connect(sock.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
        return false;

    // The send and the wait for the reply each get the whole time-out.
    const auto limit = std::chrono::milliseconds(timeout_ms);
    if (core::write_all(sock.get(), kProbeQuery, core::deadline_in(limit)) != 0) return false;
    const core::Deadline deadline = core::deadline_in(limit);
    char reply[512];
    for (;;) {
        if (core::wait_fd(sock.get(), POLLIN, deadline) <= 0) return false;
        const ssize_t n = core::read_some(sock.get(), reply, sizeof reply);
        if (n >= 0) return n >= 2 && std::string_view(reply, 2) == kProbeQuery.substr(0, 2);
        // ECONNREFUSED and friends: nobody answers there.
        if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
    }
}

}  // namespace tq8::dns_shield
