// The helper's root-only state directory: its files, and the kernel's view of a link.
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "root_helper/core/safe_replace.hpp"
#include "root_helper/core/system_util.hpp"
#include "root_helper/netops/netops.hpp"

namespace tq8::netops {

namespace {
// Far above anything the helper writes there, small enough to read whole.
constexpr std::size_t kMaxStateFile = 64 * 1024;
}  // namespace

std::optional<core::UniqueFd> open_private_dir(const TunnelPaths& paths, bool create,
                                               std::string* error) {
    const std::string& dir = paths.private_dir;
    const auto failed = [&](int err) -> std::optional<core::UniqueFd> {
        if (error) *error = core::errno_text(err, dir);
        return std::nullopt;
    };
    if (create && ::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return failed(errno);
    core::UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return failed(errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || st.st_uid != ::geteuid() || (st.st_mode & 022) != 0)
        return failed(EPERM);
    if ((st.st_mode & 077) != 0) ::fchmod(fd.get(), 0700);
    return fd;
}

std::optional<std::string> write_private_file(const TunnelPaths& paths, const std::string& name,
                                              std::string_view content) {
    std::string error;
    auto dir = open_private_dir(paths, true, &error);
    if (!dir) return error;
    if (int err = core::replace_file(dir->get(), name, content, {}))
        return core::errno_text(err, paths.private_dir + "/" + name);
    return std::nullopt;
}

std::optional<std::string> read_private_file(const TunnelPaths& paths, const std::string& name) {
    auto dir = open_private_dir(paths, false, nullptr);
    if (!dir) return std::nullopt;
    core::UniqueFd fd(::openat(dir->get(), name.c_str(),
                               O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::size_t>(st.st_size) > kMaxStateFile)
        return std::nullopt;
    return core::read_to_end(fd.get(), kMaxStateFile);
}

void remove_private_file(const TunnelPaths& paths, const std::string& name) {
    if (auto dir = open_private_dir(paths, false, nullptr)) ::unlinkat(dir->get(), name.c_str(), 0);
}

std::optional<LinkState> read_link_state(const std::string& device) {
    // The kernel's own limit on names; a longer one would be cut short and name another link.
    if (device.empty() || device.size() >= IFNAMSIZ || device.find('\0') != std::string::npos)
        return std::nullopt;
    core::UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock) sock = core::UniqueFd(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock) return std::nullopt;
    struct ifreq ifr {};
    std::memcpy(ifr.ifr_name, device.data(), device.size());
    if (::ioctl(sock.get(), SIOCGIFINDEX, &ifr) != 0) return std::nullopt;
    LinkState state;
    state.index = ifr.ifr_ifindex;
    if (::ioctl(sock.get(), SIOCGIFMTU, &ifr) != 0) return std::nullopt;
    state.mtu = ifr.ifr_mtu;
    return state;
}

}  // namespace tq8::netops
