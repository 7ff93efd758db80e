// FakeRunner: a scripted CommandRunner that records every argument vector it is given.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "root_helper/core/command_runner.hpp"
#include "root_helper/dns_shield/dns_shield.hpp"
#include "root_helper/netops/netops.hpp"

namespace tq8::testing {

class FakeRunner : public core::CommandRunner {
public:
    using Argv = std::vector<std::string>;

    // Results for one exact argv, handed out in order; the last one repeats.
    void script(const Argv& argv, std::vector<core::CommandResult> results) {
        scripted_[argv] = std::deque<core::CommandResult>(results.begin(), results.end());
    }
    // A rule consulted when no exact script matches (for example "every iptables -C fails").
    void fallback(std::function<core::CommandResult(const Argv&)> f) { fallback_ = std::move(f); }

    core::CommandResult run(const Argv& argv) override {
        calls.push_back(argv);
        if (auto it = scripted_.find(argv); it != scripted_.end() && !it->second.empty()) {
            core::CommandResult r = it->second.front();
            if (it->second.size() > 1) it->second.pop_front();
            return r;
        }
        if (fallback_) return fallback_(argv);
        return default_result;
    }

    std::vector<Argv> calls;
    core::CommandResult default_result{0, "", ""};

private:
    std::map<Argv, std::deque<core::CommandResult>> scripted_;
    std::function<core::CommandResult(const Argv&)> fallback_;
};

// Seams that record what an operation asked of the others and answer as scripted.
class FakeSeams : public netops::Seams, public dns_shield::Seams {
public:
    void set_mtu(const std::string& interface, const std::string& mtu_decimal) override {
        set_mtu_calls.emplace_back(interface, mtu_decimal);
    }
    bool remove_dns_redirect() override { ++remove_calls; return remove_result; }
    bool shield_listening() override {
        ++listening_calls;
        return next(listening, true);
    }
    bool shield_answers() override {
        ++answers_calls;
        return next(answers, true);
    }

    std::vector<std::pair<std::string, std::string>> set_mtu_calls;
    int remove_calls = 0;
    bool remove_result = true;
    // Scripted probe answers, consumed in order; when empty the probe answers true.
    std::deque<bool> listening, answers;
    int listening_calls = 0, answers_calls = 0;

private:
    static bool next(std::deque<bool>& q, bool dflt) {
        if (q.empty()) return dflt;
        bool v = q.front();
        q.pop_front();
        return v;
    }
};

}  // namespace tq8::testing
