// The shield probes: who owns 127.0.0.1:5354 (kernel UDP table) and does it answer a query.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <system_error>

#include "root_helper/core/system_util.hpp"
#include "root_helper/core/unique_fd.hpp"
#include "root_helper/dns_shield/dns_shield.hpp"

namespace tq8::dns_shield {
namespace {

// /proc/net/udp prints the address as little-endian hex: 127.0.0.1:5354 is 0100007F:14EA.
constexpr std::string_view kShieldLocalAddress = "0100007F:14EA";
constexpr std::string_view kWildcardV4 = "00000000:14EA";
// /proc/net/udp6 prints the address as four 32-bit words, each in host order: ::ffff:127.0.0.1
// is 0000000000000000FFFF00000100007F, and the wildcard :: is all zeros.
constexpr std::string_view kMappedShieldV6 = "0000000000000000FFFF00000100007F:14EA";
constexpr std::string_view kWildcardV6 = "00000000000000000000000000000000:14EA";

// The table is read the way a text reader splits it: these end a line ("\r\n" counts once)...
bool is_line_break(char c) {
    return c == '\n' || c == '\r' || c == '\v' || c == '\f' || c == '\x1c' || c == '\x1d' ||
           c == '\x1e';
}
// ...and these separate fields.
bool is_field_space(char c) {
    return c == ' ' || c == '\t' || is_line_break(c) || c == '\x1f';
}

// Calls f(field_index, field) for the fields of one line until f returns false.
template <typename F>
void for_each_field(std::string_view line, F&& f) {
    std::size_t i = 0, index = 0;
    while (i < line.size()) {
        while (i < line.size() && is_field_space(line[i])) ++i;
        if (i == line.size()) break;
        std::size_t start = i;
        while (i < line.size() && !is_field_space(line[i])) ++i;
        if (!f(index++, line.substr(start, i - start))) return;
    }
}

// Field 1 (the local address) and field 7 (the owner's uid) of one socket line; the uid is
// empty for a truncated line, which is no evidence of ownership.
struct Socket {
    std::string_view address, uid;
};

Socket socket_of(std::string_view line) {
    Socket s;
    for_each_field(line, [&](std::size_t index, std::string_view field) {
        if (index == 1) s.address = field;
        if (index == 7) s.uid = field;
        return index < 7;
    });
    return s;
}

// Calls f(socket) for every line of a table but the first, its column header.
template <typename F>
void for_each_socket(std::string_view table, F&& f) {
    std::size_t pos = 0;
    bool header = true;
    while (pos < table.size()) {
        std::size_t end = pos;
        while (end < table.size() && !is_line_break(table[end])) ++end;
        std::string_view line = table.substr(pos, end - pos);
        pos = end;
        if (pos < table.size()) {
            if (table[pos] == '\r' && pos + 1 < table.size() && table[pos + 1] == '\n') ++pos;
            ++pos;
        }
        if (!header) f(socket_of(line));
        header = false;
    }
}

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
    bool owned = false, foreign = false;
    const auto ours = [&](const Socket& s) {
        return !s.uid.empty() && (s.uid == owner || s.uid == "0");
    };
    for_each_socket(table, [&](const Socket& s) {
        if (s.address == kShieldLocalAddress && ours(s)) owned = true;
        else if (s.address == kShieldLocalAddress || s.address == kWildcardV4) foreign |= !ours(s);
    });
    for_each_socket(table6, [&](const Socket& s) {
        if (s.address == kMappedShieldV6 || s.address == kWildcardV6) foreign |= !ours(s);
    });
    return owned && !foreign;
}

bool shield_listening() {
    const char* uid = std::getenv("PKEXEC_UID");
    const auto table = core::read_whole_file("/proc/net/udp");
    if (!table) return false;
    const auto table6 = core::read_whole_file("/proc/net/udp6");
    return shield_listening_in(*table, table6 ? *table6 : std::string(), uid ? uid : "0");
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
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
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
