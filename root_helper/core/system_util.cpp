// The small system utilities every layer uses, each with one rule.
#include "root_helper/core/system_util.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "root_helper/core/unique_fd.hpp"

namespace tq8::core {

namespace {

std::string default_search_path() {
    std::string path(::confstr(_CS_PATH, nullptr, 0), '\0');
    ::confstr(_CS_PATH, path.data(), path.size());
    return path.c_str();  // without the terminating NUL that confstr() counts
}

}  // namespace

bool on_path(std::string_view name) {
    const char* env = std::getenv("PATH");
    const std::string path = env ? std::string(env) : default_search_path();
    std::string_view rest = path;
    for (;;) {
        const auto colon = rest.find(':');
        const std::string_view dir = rest.substr(0, colon);
        const std::string candidate =
            (dir.empty() ? std::string(".") : std::string(dir)) + "/" + std::string(name);
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0)
            return true;
        if (colon == std::string_view::npos) return false;
        rest.remove_prefix(colon + 1);
    }
}

std::optional<std::string> read_whole_file(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    return read_to_end(fd.get());
}

std::string dir_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_of(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string errno_text(int err) {
    // strerrordesc_np, unlike strerror, never translates: the text is the same in every locale.
    const char* msg = ::strerrordesc_np(err);
    return "[Errno " + std::to_string(err) + "] " +
           (msg ? std::string(msg) : "Unknown error " + std::to_string(err));
}

std::string errno_text(int err, std::string_view path) {
    return errno_text(err) + ": '" + std::string(path) + "'";
}

}  // namespace tq8::core
