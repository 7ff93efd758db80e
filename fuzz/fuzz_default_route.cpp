// Fuzzes the default-route parser. Input: one byte for the return code (0 or not), then the
// route program's output. On outputs whose only white space is ' ', '\t' and '\n' the device
// must equal a plain reference; on every input a device, when found, is a non-empty token of
// the output with no white space in it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "root_helper/netops/netops.hpp"

namespace {

bool plain_subset(std::string_view s) {
    for (unsigned char c : s) {
        if (c == '\n' || c == ' ' || c == '\t') continue;
        if (c < 0x21 || c > 0x7e) return false;
    }
    return true;
}

std::optional<std::string> ref_device(int rc, const std::string& out) {
    if (rc != 0 || out.find("dev ") == std::string::npos) return std::nullopt;
    std::istringstream in(out);
    std::vector<std::string> parts;
    for (std::string w; in >> w;) parts.push_back(w);
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        if (parts[i] == "dev") return parts[i + 1];
    }
    return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    tq8::core::CommandResult route;
    route.rc = data[0] % 4 == 0 ? 0 : data[0];
    route.out.assign(reinterpret_cast<const char*>(data + 1), size - 1);

    const auto dev = tq8::netops::default_route_device(route);
    if (dev) {
        if (dev->empty() || route.out.find(*dev) == std::string::npos) std::abort();
        for (unsigned char c : *dev) {
            if (c == ' ' || c == '\n' || c == '\t' || c == '\r') std::abort();
        }
    }
    if (plain_subset(route.out) && dev != ref_device(route.rc, route.out)) std::abort();
    return 0;
}
