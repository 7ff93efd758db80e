// The benchmarks' runner: every command straight to run_cmd with its default limit, as the
// command does when nobody has replaced the module's run_cmd.
#pragma once

#include "root_helper/core/command_runner.hpp"

struct BenchSystemRunner final : tq8::core::CommandRunner {
    tq8::core::CommandResult run(const std::vector<std::string>& cmd) override {
        return tq8::core::run_cmd(cmd);
    }
};
