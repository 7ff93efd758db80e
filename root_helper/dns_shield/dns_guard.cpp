// dns_guard.
#include "root_helper/dns_shield/dns_shield.hpp"
namespace tq8::dns_shield {
GuardOutcome dns_guard(core::CommandRunner&, core::Seams&, LineSink&, int) { return {}; }
}  // namespace tq8::dns_shield
