// remove_dns_redirect.
#include "root_helper/dns_shield/dns_shield.hpp"
namespace tq8::dns_shield {
bool remove_dns_redirect(core::CommandRunner&) { return true; }
}  // namespace tq8::dns_shield
