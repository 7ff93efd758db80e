// emergency_network_reset.
#include "root_helper/netops/netops.hpp"
namespace tq8::netops {
core::Record emergency_network_reset(core::CommandRunner&, core::Seams&, const ResolvPaths&) { return {}; }
}  // namespace tq8::netops
