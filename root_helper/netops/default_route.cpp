// The default-route device lookup shared by the tunnel and the reset.
#include <string_view>

#include "root_helper/core/text_decode.hpp"
#include "root_helper/netops/netops.hpp"

namespace tq8::netops {

const std::vector<std::string> kDefaultRouteCmd = {"ip", "-o", "-4", "route", "show", "to",
                                                   "default"};

std::optional<std::string> default_route_device(const core::CommandResult& route) {
    if (route.rc != 0 || route.out.find("dev ") == std::string::npos) return std::nullopt;
    const auto parts = core::split_whitespace(route.out);
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (parts[i] != "dev") continue;
        // ip never ends a route line with "dev"; should it ever, there is no device to name,
        // and guessing one would change the MTU of the wrong link.
        if (i + 1 == parts.size()) return std::nullopt;
        return std::string(parts[i + 1]);
    }
    return std::nullopt;
}

}  // namespace tq8::netops
