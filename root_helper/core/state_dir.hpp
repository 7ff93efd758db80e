// The helper's root-only state under /run, and who a process is across pid reuse.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>

#include "root_helper/core/system_util.hpp"
#include "root_helper/core/text_decode.hpp"
#include "root_helper/core/unique_fd.hpp"

namespace tq8::core {

// Where runs of the helper leave notes for later runs: gone at reboot, like what they changed.
inline constexpr const char* kStateDir = "/run/tq8-root-helper";

// The directory at path, made (0700) when missing, opened without following a link; an empty
// UniqueFd when path is empty, when it cannot be made or opened, or is not this process's
// user's own or is writable by others (a planted directory is never used).
inline UniqueFd open_state_dir(const std::string& path) {
    // An empty path fails at mkdir() (ENOENT).
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return {};
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || st.st_uid != ::geteuid() || (st.st_mode & 022) != 0)
        return {};
    return fd;
}

// "<pid> <start time>": the process's id and its start time in clock ticks since boot (field 22
// of /proc/<pid>/stat), which together never name two processes; nullopt when no process has
// that id.
inline std::optional<std::string> process_identity(pid_t pid) {
    const auto stat = read_whole_file("/proc/" + std::to_string(pid) + "/stat");
    // The command name (field 2) may hold spaces and parentheses: count from its last ")".
    const auto close = stat ? stat->rfind(')') : std::string::npos;
    if (close == std::string::npos) return std::nullopt;
    const auto fields = split_whitespace(std::string_view(*stat).substr(close + 1));
    if (fields.size() < 20) return std::nullopt;
    return std::to_string(pid) + " " + std::string(fields[19]);  // field 22, the start time
}

}  // namespace tq8::core
