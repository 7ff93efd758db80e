// manage_killswitch.
#include "root_helper/netops/netops.hpp"
namespace tq8::netops {
core::Record manage_killswitch(core::CommandRunner&, bool, const std::string&, const std::vector<std::string>&) { return {}; }
}  // namespace tq8::netops
