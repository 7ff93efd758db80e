// DirectSeams: one operation calling another straight through C++.
#include "root_helper/core/python/direct_seams.hpp"

#include "root_helper/core/saturating_int.hpp"

namespace tq8::py {

void DirectSeams::set_mtu(const std::string& interface, const std::string& mtu_decimal) {
    // Any decimal integer clamps the same way once it is past the limits of long long.
    netops::set_mtu(runner_, interface, core::parse_saturating(mtu_decimal).value_or(0));
}
bool DirectSeams::remove_dns_redirect() { return dns_shield::remove_dns_redirect(runner_); }
bool DirectSeams::shield_listening() { return dns_shield::shield_listening(); }
bool DirectSeams::shield_answers() { return dns_shield::shield_answers(); }

}  // namespace tq8::py
