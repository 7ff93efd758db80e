// The small system utilities every layer uses, each with one rule.
#include "root_helper/core/system_util.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "root_helper/core/unique_fd.hpp"

namespace tq8::core {

namespace {

std::string default_search_path() {
    const std::size_t n = ::confstr(_CS_PATH, nullptr, 0);
    std::string path(n, '\0');
    if (n > 0) ::confstr(_CS_PATH, path.data(), n);
    path.resize(n > 0 ? n - 1 : 0);
    return path;
}

bool executable_file(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

bool on_path(std::string_view name) {
    const char* env = std::getenv("PATH");
    const std::string path = env ? std::string(env) : default_search_path();
    std::string_view rest = path;
    for (;;) {
        const auto colon = rest.find(':');
        const std::string_view dir = rest.substr(0, colon);
        std::string candidate = dir.empty() ? std::string(".") : std::string(dir);
        candidate += '/';
        candidate += name;
        if (executable_file(candidate)) return true;
        if (colon == std::string_view::npos) return false;
        rest.remove_prefix(colon + 1);
    }
}

std::optional<std::string> read_to_end(int fd, std::size_t limit) {
    std::string text;
    char buf[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) return text;
        text.append(buf, static_cast<std::size_t>(n));
        if (text.size() > limit) return std::nullopt;
    }
}

std::optional<std::string> read_whole_file(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    return read_to_end(fd.get());
}

int poll_wait_ms(std::chrono::steady_clock::time_point deadline) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

std::optional<int> reap_until(pid_t pid, std::chrono::steady_clock::time_point deadline) {
    UniqueFd exited;
    bool no_pidfd = false;
    for (;;) {
        int st = 0;
        const pid_t r = ::waitpid(pid, &st, WNOHANG);
        if (r == pid) return WIFSIGNALED(st) ? -WTERMSIG(st) : WEXITSTATUS(st);
        if (r < 0 && errno == ECHILD) return 0;
        if (r < 0 && errno != EINTR) return std::nullopt;
        const int wait = poll_wait_ms(deadline);
        if (wait == 0) return std::nullopt;
        // Usually a matter of microseconds: sleep until the child ends or the deadline comes.
#ifdef SYS_pidfd_open
        if (!exited && !no_pidfd) {
            const long fd = ::syscall(SYS_pidfd_open, pid, 0);
            if (fd >= 0) exited = UniqueFd(static_cast<int>(fd));
            else no_pidfd = true;
        }
#endif
        if (exited) {
            pollfd p{exited.get(), POLLIN, 0};
            ::poll(&p, 1, wait);
        } else {
            ::poll(nullptr, 0, wait > 10 ? 10 : wait);
        }
    }
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
