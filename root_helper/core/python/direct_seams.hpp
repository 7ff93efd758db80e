// DirectSeams: one operation calling another straight through C++, with the given runner.
// Plain C++ (no runtime in here); it sits with the Python face because that is where the
// network operations and the DNS shield meet: neither subsystem includes the other.
#pragma once

#include <string>

#include "root_helper/core/command_runner.hpp"
#include "root_helper/dns_shield/dns_shield.hpp"
#include "root_helper/netops/netops.hpp"

namespace tq8::py {

class DirectSeams final : public netops::Seams, public dns_shield::Seams {
public:
    explicit DirectSeams(core::CommandRunner& runner) : runner_(runner) {}
    void set_mtu(const std::string& interface, const std::string& mtu_decimal) override;
    bool remove_dns_redirect() override;
    bool shield_listening() override;
    bool shield_answers() override;
private:
    core::CommandRunner& runner_;
};

}  // namespace tq8::py
