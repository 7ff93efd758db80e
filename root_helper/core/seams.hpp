// How one operation reaches another: through this interface, so that the binding can route
// each call through the module (a Python replacement is honoured) and tests can script it.
#pragma once

#include <string>

#include "root_helper/core/command_runner.hpp"

namespace tq8::core {

class Seams {
public:
    virtual ~Seams() = default;
    // set_mtu(interface, mtu); its record is discarded by every caller. mtu is a decimal
    // integer text of any size.
    virtual void set_mtu(const std::string& interface, const std::string& mtu_decimal) = 0;
    virtual bool remove_dns_redirect() = 0;
    virtual bool shield_listening() = 0;
    virtual bool shield_answers() = 0;
};

// Calls the C++ operations directly, with the given runner.
class DirectSeams final : public Seams {
public:
    explicit DirectSeams(CommandRunner& runner) : runner_(runner) {}
    void set_mtu(const std::string& interface, const std::string& mtu_decimal) override;
    bool remove_dns_redirect() override;
    bool shield_listening() override;
    bool shield_answers() override;
private:
    CommandRunner& runner_;
};

}  // namespace tq8::core
