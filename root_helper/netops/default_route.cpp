// The default-route device lookup shared by the tunnel and the reset.
#include "root_helper/netops/netops.hpp"
namespace tq8::netops {
const std::vector<std::string> kDefaultRouteCmd = {"ip", "-o", "-4", "route", "show", "to", "default"};
std::optional<std::string> default_route_device(const core::CommandResult&) { return std::nullopt; }
}  // namespace tq8::netops
