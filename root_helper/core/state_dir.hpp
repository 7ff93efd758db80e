// The helper's root-only state under /run, and who a process is across pid reuse.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "root_helper/core/unique_fd.hpp"

namespace tq8::core {

// Where runs of the helper leave notes for later runs: gone at reboot, like what they changed.
inline constexpr const char* kStateDir = "/run/tq8-root-helper";

// The directory at path, made (0700) when missing, opened without following a link; an empty
// UniqueFd when path is empty, when it cannot be made or opened, or is not this process's
// user's own or is writable by others (a planted directory is never used).
UniqueFd open_state_dir(const std::string& path);

// "<pid> <start time>": the process's id and its start time in clock ticks since boot (field 22
// of /proc/<pid>/stat), which together never name two processes; nullopt when no process has
// that id.
std::optional<std::string> process_identity(pid_t pid);

}  // namespace tq8::core
