// open_state_dir and process_identity.
#include "root_helper/core/state_dir.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "root_helper/core/system_util.hpp"
#include "root_helper/core/text_decode.hpp"

namespace tq8::core {

UniqueFd open_state_dir(const std::string& path) {
    // An empty path fails at mkdir() (ENOENT).
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return {};
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || st.st_uid != ::geteuid() || (st.st_mode & 022) != 0)
        return {};
    return fd;
}

std::optional<std::string> process_identity(pid_t pid) {
    const auto stat = read_whole_file("/proc/" + std::to_string(pid) + "/stat");
    // The command name (field 2) may hold spaces and parentheses: count from its last ")".
    const auto close = stat ? stat->rfind(')') : std::string::npos;
    if (close == std::string::npos) return std::nullopt;
    const auto fields = split_whitespace(std::string_view(*stat).substr(close + 1));
    if (fields.size() < 20) return std::nullopt;
    return std::to_string(pid) + " " + std::string(fields[19]);  // field 22, the start time
}

}  // namespace tq8::core
