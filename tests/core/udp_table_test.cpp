// The kernel's UDP tables: addresses in their notation, and the fields of a line.
#include <arpa/inet.h>

#include <gtest/gtest.h>

#include "root_helper/core/udp_table.hpp"

namespace tq8::core {
namespace {

TEST(UdpTable, AddressesInTheKernelsNotation) {
    if (htonl(1) == 1) GTEST_SKIP() << "the expected texts are a little-endian machine's";
    const struct {
        const char* ip;
        std::uint16_t port;
        const char* expected;
    } cases[] = {
        {"127.0.0.53", 53, "3500007F:0035"},
        {"127.0.0.1", 5354, "0100007F:14EA"},
        {"0.0.0.0", 5354, "00000000:14EA"},
        {"::ffff:127.0.0.1", 5354, "0000000000000000FFFF00000100007F:14EA"},
        {"::1", 65535, "00000000000000000000000001000000:FFFF"},
        {"localhost", 53, ""},
        {"127.0.0.1:5354", 53, ""},
        {"", 53, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(udp_table_address(c.ip, c.port), c.expected) << c.ip;
}

TEST(UdpTable, EachLineAfterTheHeaderIsOneSocket) {
    const auto sockets = udp_sockets(
        "header\r\n 1: A:1 x x x x x 0 tail\r\n\n2: B:2 x\r3:\tC:3 x x x x x\x1f" "7\f");
    ASSERT_EQ(sockets.size(), 4u);
    EXPECT_EQ(sockets[0].address, "A:1");
    EXPECT_EQ(sockets[0].uid, "0");
    EXPECT_EQ(sockets[1].address, "") << "an empty line is a socket of nothing";
    EXPECT_EQ(sockets[2].address, "B:2");
    EXPECT_EQ(sockets[2].uid, "") << "a truncated line names no owner";
    EXPECT_EQ(sockets[3].address, "C:3");
    EXPECT_EQ(sockets[3].uid, "7");
}

}  // namespace
}  // namespace tq8::core
