// Fuzzes the /proc/net/udp parser. Input: the owner text, a NUL, then the table. On tables
// whose only white space is ' ' and '\n' (where the line and field splits are unambiguous) the
// result must equal a plain reference; on every input it must not crash, and it can only be
// true when the shield's address is in the table at all.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "root_helper/dns_shield/dns_shield.hpp"

namespace {

constexpr std::string_view kShieldAddr = "0100007F:14EA";

bool plain_subset(std::string_view s) {
    for (unsigned char c : s) {
        if (c == '\n' || c == ' ') continue;
        if (c < 0x21 || c > 0x7e) return false;
    }
    return true;
}

bool ref_listening(std::string_view table, std::string_view owner) {
    std::vector<std::string> lines;
    std::string cur;
    for (char c : table) {
        if (c == '\n') { lines.push_back(cur); cur.clear(); } else { cur += c; }
    }
    if (!cur.empty()) lines.push_back(cur);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::istringstream fields(lines[i]);
        std::vector<std::string> f;
        for (std::string w; fields >> w;) f.push_back(w);
        if (f.size() <= 7 || f[1] != kShieldAddr) continue;
        if (f[7] == owner || f[7] == "0") return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    const auto nul = in.find('\0');
    const std::string_view owner = nul == std::string_view::npos ? std::string_view("1000")
                                                                 : in.substr(0, nul);
    const std::string_view table = nul == std::string_view::npos ? in : in.substr(nul + 1);

    const bool got = tq8::dns_shield::shield_listening_in(table, owner);
    if (got && table.find(kShieldAddr) == std::string_view::npos) std::abort();
    if (plain_subset(table) && plain_subset(owner) && got != ref_listening(table, owner))
        std::abort();
    return 0;
}
