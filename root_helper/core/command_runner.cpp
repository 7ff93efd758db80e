// The command runner: posix_spawn, both pipes drained under one deadline, strict decoding.
#include "root_helper/core/command_runner.hpp"
#include "root_helper/core/texts.hpp"
#include "root_helper/core/records.hpp"
namespace tq8::core {
CommandResult failure(const std::vector<std::string>& cmd, std::string_view d) { return {1, "", std::string(texts::kRunFailurePrefix) + join(cmd) + "): " + std::string(d)}; }
CommandResult run_cmd(const std::vector<std::string>& cmd, double) { return failure(cmd, "not built yet"); }
}  // namespace tq8::core
