// The shield probes: the UDP table parser and the query/reply exchange over real loopback.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "root_helper/core/unique_fd.hpp"
#include "root_helper/dns_shield/dns_shield.hpp"

namespace tq8::dns_shield {
namespace {

using core::UniqueFd;

const std::string kHeader =
    "   sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
    "timeout inode ref pointer drops\n";

std::string row(const std::string& local, const std::string& uid) {
    return "  12: " + local + " 00000000:0000 07 00000000:00000000 00:00000000 00000000  " +
           uid + "        0 41234 2 0000000000000000 0\n";
}

struct TableCase {
    const char* name;
    std::string table;
    std::string owner;
    bool expected;
    std::string table6 = "";
};

const std::string kHeader6 =
    "  sl  local_address                         remote_address                        st "
    "tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode ref pointer drops\n";

TEST(ShieldListeningIn, ReadsTheTableAsTheKernelPrintsIt) {
    const std::string shield = "0100007F:14EA";
    const TableCase cases[] = {
        {"owned by the authorising user", kHeader + row(shield, "1000"), "1000", true},
        {"owned by root", kHeader + row(shield, "0"), "1000", true},
        {"owned by someone else", kHeader + row(shield, "1001"), "1000", false},
        {"a later line for the same address qualifies",
         kHeader + row(shield, "1000") + row(shield, "0"), "1000", true},
        {"empty owner matches only root", kHeader + row(shield, "1000"), "", false},
        {"empty owner, root socket", kHeader + row(shield, "0"), "", true},
        {"uid compared as text", kHeader + row(shield, "01000"), "1000", false},
        {"wildcard address", kHeader + row("00000000:14EA", "0"), "0", false},
        {"other loopback address", kHeader + row("0200007F:14EA", "0"), "0", false},
        {"other port", kHeader + row("0100007F:14EB", "0"), "0", false},
        {"lower-case hex is not the kernel's spelling", kHeader + row("0100007f:14ea", "0"),
         "0", false},
        {"header only", kHeader, "0", false},
        {"empty text", "", "0", false},
        {"the first line is always the header", row(shield, "0"), "0", false},
        {"seven fields are too few", kHeader + "12: 0100007F:14EA a b c d e\n", "0", false},
        {"eight fields are enough", kHeader + "12: 0100007F:14EA a b c d e 0\n", "0", true},
        {"a truncated line on the address counts as someone else's",
         kHeader + row(shield, "0") + "12: 0100007F:14EA a b c d e\n", "0", false},
        {"tabs and runs of blanks", kHeader + "\t12:\t0100007F:14EA  a b c d e\t\t1000 x\n",
         "1000", true},
        {"no final line break", kHeader + "12: 0100007F:14EA a b c d e 0", "0", true},
        {"CR LF lines", "hdr\r\n12: 0100007F:14EA a b c d e 0\r\n", "0", true},
        {"the address only in field 2", kHeader + "12: 00000000:0000 0100007F:14EA c d e f 0\n",
         "0", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(shield_listening_in(c.table, c.table6, c.owner), c.expected) << c.name;
}

// Every socket that can take 127.0.0.1:5354's datagrams must be the owner's or root's: the
// kernel gives each datagram to one of them, which need not be the shield.
TEST(ShieldListeningIn, AnotherUsersSocketOnTheShieldsTrafficDisqualifiesIt) {
    const std::string shield = "0100007F:14EA";
    const std::string owned = kHeader + row(shield, "1000");
    const auto v6 = [](const std::string& local, const std::string& uid) {
        return kHeader6 + row(local, uid);
    };
    const std::string mapped = "0000000000000000FFFF00000100007F:14EA";
    const std::string any6 = "00000000000000000000000000000000:14EA";
    const TableCase cases[] = {
        {"foreign socket beside the shield", owned + row(shield, "1001"), "1000", false},
        {"foreign socket listed first", kHeader + row(shield, "1001") + row(shield, "1000"),
         "1000", false},
        {"foreign wildcard", owned + row("00000000:14EA", "1001"), "1000", false},
        {"root and owner wildcards", owned + row("00000000:14EA", "0") + row("00000000:14EA", "1000"),
         "1000", true},
        {"foreign on 127.0.0.2 takes nothing of 127.0.0.1", owned + row("0200007F:14EA", "1001"),
         "1000", true},
        {"foreign on another port", owned + row("0100007F:14EB", "1001"), "1000", true},
        {"foreign mapped IPv6", owned, "1000", false, v6(mapped, "1001")},
        {"foreign IPv6 wildcard", owned, "1000", false, v6(any6, "1001")},
        {"owner's IPv6 wildcard", owned, "1000", true, v6(any6, "1000")},
        {"foreign on ::1 takes nothing of 127.0.0.1", owned, "1000", true,
         v6("00000000000000000000000001000000:14EA", "1001")},
        {"the first udp6 line is its header", owned, "1000", true, row(any6, "1001")},
        {"only IPv6 sockets are no shield", kHeader, "1000", false, v6(mapped, "1000")},
    };
    for (const auto& c : cases)
        EXPECT_EQ(shield_listening_in(c.table, c.table6, c.owner), c.expected) << c.name;
}

TEST(ShieldListening, OwnerComesFromPkexecUid) {
    // A socket that root owns always counts, so the probe of a bound root socket must be
    // true whatever PKEXEC_UID says (these tests may run as any user: bind as ourselves).
    UniqueFd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(5354);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        GTEST_SKIP() << "127.0.0.1:5354 is taken on this machine";
    const std::string me = std::to_string(::getuid());
    ::setenv("PKEXEC_UID", me.c_str(), 1);
    EXPECT_TRUE(shield_listening());
    ::setenv("PKEXEC_UID", "4242", 1);
    EXPECT_EQ(shield_listening(), me == "0");
    ::unsetenv("PKEXEC_UID");
    EXPECT_EQ(shield_listening(), me == "0");
}

// A one-shot shield on an ephemeral loopback port, answering from a thread.
class OneShotShield {
public:
    enum Mode { kEcho, kWrongId, kShort, kSilent, kForgedFromElsewhere };
    explicit OneShotShield(Mode mode) : sock_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(sock_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        socklen_t len = sizeof a;
        ::getsockname(sock_.get(), reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this, mode] { serve(mode); });
    }
    ~OneShotShield() {
        ::shutdown(sock_.get(), SHUT_RDWR);
        thread_.join();
    }
    std::uint16_t port() const { return port_; }
    std::string query;

private:
    void serve(Mode mode) {
        char buf[512];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = ::recvfrom(sock_.get(), buf, sizeof buf, 0,
                               reinterpret_cast<sockaddr*>(&from), &len);
        if (n <= 0) return;
        query.assign(buf, static_cast<std::size_t>(n));
        std::string reply = query;
        reply[2] = static_cast<char>(0x81);
        reply[3] = static_cast<char>(0x85);  // a refusal still proves the shield is alive
        if (mode == kWrongId) reply[1] = 0x35;
        if (mode == kShort) reply.resize(1);
        if (mode == kSilent) return;
        if (mode == kForgedFromElsewhere) {
            UniqueFd other(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
            ::sendto(other.get(), reply.data(), reply.size(), 0,
                     reinterpret_cast<sockaddr*>(&from), len);
            return;
        }
        ::sendto(sock_.get(), reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from),
                 len);
    }
    UniqueFd sock_;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

TEST(ShieldAnswers, AcceptsOnlyTheQueryIdFromTheShieldItself) {
    struct Case {
        OneShotShield::Mode mode;
        bool expected;
        const char* name;
    } cases[] = {
        {OneShotShield::kEcho, true, "reply with the ID, whatever its response code"},
        {OneShotShield::kWrongId, false, "another ID"},
        {OneShotShield::kShort, false, "one octet"},
        {OneShotShield::kSilent, false, "no reply"},
        {OneShotShield::kForgedFromElsewhere, false, "the right ID from another port"},
    };
    for (const auto& c : cases) {
        OneShotShield shield(c.mode);
        EXPECT_EQ(shield_answers(shield.port(), 300), c.expected) << c.name;
    }
}

// What the shield sees: ID 0x12 0x34, recursion desired, one question, A/IN for a name on the
// shield's block list.
TEST(ShieldAnswers, SendsTheFixedThirtyThreeOctetQuestion) {
    std::string seen;
    {
        OneShotShield shield(OneShotShield::kEcho);
        ASSERT_TRUE(shield_answers(shield.port(), 2000));
        seen = shield.query;
    }
    const std::string query("\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00"
                            "\x0b" "adtrackerzz" "\x03" "com" "\x00" "\x00\x01" "\x00\x01",
                            33);
    EXPECT_EQ(seen, query);
}

TEST(ShieldAnswers, ClosedPortIsRefusedWithoutWaitingOutTheTimeout) {
    // Find a port that nobody holds: bind, learn the number, close.
    std::uint16_t port;
    {
        UniqueFd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(shield_answers(port, 10000));
    // Not a speed target: a refusal must not be mistaken for a silent shield.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
}

}  // namespace
}  // namespace tq8::dns_shield
