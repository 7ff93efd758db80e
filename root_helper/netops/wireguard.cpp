// manage_wireguard.
#include "root_helper/netops/netops.hpp"
namespace tq8::netops {
core::Record manage_wireguard(core::CommandRunner&, core::Seams&, const std::string&, const std::string&, const std::string&) { return {}; }
}  // namespace tq8::netops
