// open_state_dir and process_identity.
#include "root_helper/core/state_dir.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "root_helper/core/system_util.hpp"

namespace tq8::core {

UniqueFd open_state_dir(const std::string& path) {
    if (path.empty()) return {};
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return {};
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return {};
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || st.st_uid != ::geteuid() || (st.st_mode & 022) != 0)
        return {};
    return fd;
}

std::optional<std::string> process_identity(pid_t pid) {
    const auto stat = read_whole_file("/proc/" + std::to_string(pid) + "/stat");
    if (!stat) return std::nullopt;
    // The command name (field 2) may hold spaces and parentheses: count from its last ")".
    const auto close = stat->rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::size_t at = close + 1;
    for (int field = 3; field <= 22; ++field) {
        at = stat->find_first_not_of(' ', at);
        if (at == std::string::npos) return std::nullopt;
        const auto end = stat->find(' ', at);
        if (field == 22) return std::to_string(pid) + " " + stat->substr(at, end - at);
        at = end;
    }
    return std::nullopt;
}

}  // namespace tq8::core
