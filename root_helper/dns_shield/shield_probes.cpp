// The shield probes: who owns 127.0.0.1:5354 (kernel UDP table) and does it answer a query.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>

#include "root_helper/core/caller.hpp"
#include "root_helper/core/constants.hpp"
#include "root_helper/core/system_util.hpp"
#include "root_helper/core/udp_table.hpp"
#include "root_helper/core/unique_fd.hpp"
#include "root_helper/dns_shield/dns_shield.hpp"

namespace tq8::dns_shield {
namespace {

// RFC 1035 query, ID 0x12 0x34, RD set, one question: A/IN for a name on the shield's block
// list, so the shield answers it locally without asking anyone upstream.
constexpr char kProbeQuery[] =
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
    "\x00\x01";         // QCLASS IN
static_assert(sizeof kProbeQuery - 1 == 33);

using Clock = std::chrono::steady_clock;

// Waits for events on fd until deadline; EINTR waits again for the time that is left.
// The revents, 0 when the deadline passed, -1 when poll itself fails.
int poll_until(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        int n = ::poll(&p, 1, core::poll_wait_ms(deadline));
        if (n > 0) return p.revents;
        if (n == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

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
    if (!table) return false;
    const auto table6 = core::read_whole_file(core::kUdp6Table);
    return shield_listening_in(*table, table6 ? *table6 : std::string(), owner);
}

std::string_view probe_query() { return {kProbeQuery, sizeof kProbeQuery - 1}; }

bool shield_answers(std::uint16_t port, int timeout_ms) {
    core::UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
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

    const auto limit = std::chrono::milliseconds(timeout_ms);
    const std::string_view query = probe_query();
    for (auto deadline = Clock::now() + limit;;) {
        ssize_t n = ::send(sock.get(), query.data(), query.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0) break;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
        int ev = poll_until(sock.get(), POLLOUT, deadline);
        if (ev <= 0 || (ev & (POLLERR | POLLNVAL))) return false;
    }

    unsigned char reply[512];
    for (auto deadline = Clock::now() + limit;;) {
        int ev = poll_until(sock.get(), POLLIN, deadline);
        if (ev <= 0) return false;
        ssize_t n = ::recv(sock.get(), reply, sizeof reply, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
        if (n < 0) return false;  // ECONNREFUSED and friends: nobody answers there
        return n >= 2 && reply[0] == 0x12 && reply[1] == 0x34;
    }
}

}  // namespace tq8::dns_shield
