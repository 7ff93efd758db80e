// Stand-in for the system-I/O layer's write_all until that layer lands: blocking writes and
// the waits it needs for a non-blocking descriptor.
#include "root_helper/core/sys_io.hpp"

#include <unistd.h>

#include <cerrno>

namespace tq8::core {

int write_all(int fd, std::string_view data, const Deadline& deadline) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n >= 0) {
            data.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return errno;
        pollfd p{fd, POLLOUT, 0};
        const auto left = deadline ? std::chrono::duration_cast<std::chrono::milliseconds>(
                                         *deadline - Clock::now()).count()
                                   : -1;
        if (deadline && left <= 0) return ETIMEDOUT;
        if (::poll(&p, 1, static_cast<int>(left)) == 0) return ETIMEDOUT;
    }
    return 0;
}

}  // namespace tq8::core
