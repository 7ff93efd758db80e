// Fuzzes the reader of /proc/net/udp and /proc/net/udp6 and the shield's ownership rule on it.
// Input: the owner text, a NUL, the IPv4 table, optionally a NUL and the IPv6 table. On tables
// whose only white space is ' ' and '\n' (where the line and field splits are unambiguous) the
// sockets and the result must equal a plain reference; on every input it must not crash, and the
// result can only be true when the shield's address is in the IPv4 table at all.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "root_helper/core/udp_table.hpp"
#include "root_helper/dns_shield/dns_shield.hpp"

namespace {

constexpr std::string_view kShieldAddr = "0100007F:14EA";
constexpr std::string_view kWildcard4 = "00000000:14EA";
constexpr std::string_view kMapped6 = "0000000000000000FFFF00000100007F:14EA";
constexpr std::string_view kWildcard6 = "00000000000000000000000000000000:14EA";

bool plain_subset(std::string_view s) {
    for (unsigned char c : s) {
        if (c == '\n' || c == ' ') continue;
        if (c < 0x21 || c > 0x7e) return false;
    }
    return true;
}

// The socket lines of a table (header dropped), each as its fields.
std::vector<std::vector<std::string>> ref_sockets(std::string_view table) {
    std::vector<std::string> lines;
    std::string cur;
    for (char c : table) {
        if (c == '\n') { lines.push_back(cur); cur.clear(); } else { cur += c; }
    }
    if (!cur.empty()) lines.push_back(cur);
    std::vector<std::vector<std::string>> sockets;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::istringstream fields(lines[i]);
        std::vector<std::string> f;
        for (std::string w; fields >> w;) f.push_back(w);
        sockets.push_back(f);
    }
    return sockets;
}

bool ref_listening(std::string_view table, std::string_view table6, std::string_view owner) {
    const auto ours = [&](const std::vector<std::string>& f) {
        return f.size() > 7 && (f[7] == owner || f[7] == "0");
    };
    bool owned = false;
    for (const auto& f : ref_sockets(table)) {
        if (f.size() < 2) continue;
        if (f[1] == kShieldAddr && ours(f)) owned = true;
        if ((f[1] == kShieldAddr || f[1] == kWildcard4) && !ours(f)) return false;
    }
    for (const auto& f : ref_sockets(table6))
        if (f.size() >= 2 && (f[1] == kMapped6 || f[1] == kWildcard6) && !ours(f)) return false;
    return owned;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    const auto nul = in.find('\0');
    const std::string_view owner = nul == std::string_view::npos ? std::string_view("1000")
                                                                 : in.substr(0, nul);
    std::string_view table = nul == std::string_view::npos ? in : in.substr(nul + 1);
    std::string_view table6;
    if (const auto nul6 = table.find('\0'); nul6 != std::string_view::npos) {
        table6 = table.substr(nul6 + 1);
        table = table.substr(0, nul6);
    }

    if (plain_subset(table)) {
        const auto got = tq8::core::udp_sockets(table);
        const auto ref = ref_sockets(table);
        if (got.size() != ref.size()) std::abort();
        for (std::size_t i = 0; i < ref.size(); ++i) {
            if (got[i].address != (ref[i].size() > 1 ? ref[i][1] : "")) std::abort();
            if (got[i].uid != (ref[i].size() > 7 ? ref[i][7] : "")) std::abort();
        }
    }
    const bool got = tq8::dns_shield::shield_listening_in(table, table6, owner);
    if (got && table.find(kShieldAddr) == std::string_view::npos) std::abort();
    if (plain_subset(table) && plain_subset(table6) && plain_subset(owner) &&
        got != ref_listening(table, table6, owner))
        std::abort();
    return 0;
}
