// emergency_network_reset: the fixed clean-up sequence and the /etc/resolv.conf repair.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>

#include "root_helper/core/constants.hpp"
#include "root_helper/core/safe_replace.hpp"
#include "root_helper/core/system_util.hpp"
#include "root_helper/core/texts.hpp"
#include "root_helper/core/udp_table.hpp"
#include "root_helper/core/unique_fd.hpp"
#include "root_helper/netops/netops.hpp"

namespace tq8::netops {
namespace {

// The same hop limit the kernel applies when it follows a chain of links itself.
constexpr int kMaxLinkHops = 40;

// A failed file operation, worded like the runtime's own OSError text so that the
// application shows the same description it always has.
struct FsError {
    std::string description;
    int err = 0;
};

std::optional<FsError> fs_error(int err, const std::string& path) {
    if (err == 0) return std::nullopt;
    return FsError{core::errno_text(err, path), err};
}

// rename() cannot put a new file in this place: a bind-mounted file (containers) or a file of
// another file system. Writing in place is the only repair left.
bool rename_refused(const std::optional<FsError>& e) {
    return e && (e->err == EBUSY || e->err == EXDEV);
}

// Where writing "through" path lands: path itself, or the end of the chain of symbolic links
// that starts there (a dangling link's target is created, as an ordinary open would).
std::optional<FsError> final_target(const std::string& path, std::string& out) {
    out = path;
    for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
        std::error_code ec;
        const std::string target = std::filesystem::read_symlink(out, ec);
        // Not a link, or nothing there: what is written lands here.
        if (ec == std::errc::invalid_argument || ec == std::errc::no_such_file_or_directory)
            return std::nullopt;
        if (ec) return fs_error(ec.value(), out);
        out = (!target.empty() && target[0] == '/') ? target : core::dir_of(out) + "/" + target;
    }
    return fs_error(ELOOP, path);
}

// "nameserver <primary IPv4 address>" of each public resolver.
std::string fallback_resolvers() {
    std::string text;
    for (const auto& r : kPublicResolvers) text += "nameserver " + r.v4[0] + "\n";
    return text;
}

// path replaced beside itself, in its directory: by a symbolic link to link_target when one is
// given, otherwise by a fresh file with the fallback text. That file takes over old's mode,
// owner and group; without old (nothing was there) it is root's, 0644: every program on the
// machine reads it, whatever umask the helper inherited.
std::optional<FsError> replace_entry(const std::string& path, const struct stat* old,
                                     const std::string* link_target = nullptr) {
    core::UniqueFd dir(::open(core::dir_of(path).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return fs_error(errno, path);
    const std::string name = core::base_of(path);
    if (link_target) return fs_error(core::replace_with_link(dir.get(), name, *link_target), path);
    core::FileMode mode{old ? (old->st_mode & 07777) : 0644, std::nullopt, true};
    if (old) mode.owner = {old->st_uid, old->st_gid};
    return fs_error(core::replace_file(dir.get(), name, fallback_resolvers(), mode), path);
}

std::optional<FsError> write_fallback(const ResolvPaths& paths) {
    std::string target;
    if (auto e = final_target(paths.resolv_conf, target)) return e;

    struct stat st{};
    const bool missing = ::lstat(target.c_str(), &st) != 0;
    if (missing && errno != ENOENT) return fs_error(errno, target);
    if (!missing && S_ISDIR(st.st_mode)) return fs_error(EISDIR, target);
    // Nothing at the end of the path: no file, or a link that dangles (typically into the
    // directory of a resolver that was removed); following the link would create a file in a
    // directory that may be gone. Or a link to the stub of a resolver that is not running: its
    // file in /run is resolved's own and goes at the next boot. Either way a regular file of
    // our own takes the place of paths.resolv_conf.
    struct stat stub{};
    if (missing || (target != paths.resolv_conf && ::stat(paths.stub.c_str(), &stub) == 0 &&
                    stub.st_dev == st.st_dev && stub.st_ino == st.st_ino))
        return replace_entry(paths.resolv_conf, nullptr);
    // A rename would split a file with several names and turn a device into a regular file.
    const bool in_place = !S_ISREG(st.st_mode) || st.st_nlink > 1;
    auto replaced = in_place ? std::nullopt : replace_entry(target, &st);
    if (!in_place && !rename_refused(replaced) && !(replaced && replaced->err == EPERM))
        return replaced;
    // Rewritten through itself: what it is (a device, a file with several names, a bind-mounted
    // file) and its mode, owner and group all stay.
    const bool regular = S_ISREG(st.st_mode);
    return fs_error(core::write_in_place(target, fallback_resolvers(), regular), target);
}

// The stub counts only while resolved serves it: its file can outlive the service in /run,
// and a link to a dead stub leaves the machine without DNS.
bool stub_alive(const ResolvPaths& paths) {
    if (::faccessat(AT_FDCWD, paths.stub.c_str(), F_OK, AT_EACCESS) != 0) return false;
    const auto table = core::read_whole_file(paths.udp_table);
    const std::string stub = core::udp_table_address(core::STUB_DNS, core::kDnsPort);
    return table && std::ranges::any_of(core::udp_sockets(*table),
                                        [&](const auto& socket) { return socket.address == stub; });
}

void repair_resolv_conf(const ResolvPaths& paths, std::vector<core::LogEntry>& logs) {
    const bool alive = stub_alive(paths);
    auto failure = alive ? replace_entry(paths.resolv_conf, nullptr, &paths.stub) : std::nullopt;
    // A bind-mounted /etc/resolv.conf cannot become a link: give it working resolvers.
    const bool linked = alive && !rename_refused(failure);
    if (!linked) failure = write_fallback(paths);
    if (failure)
        logs.push_back({std::string(texts::kRestoreResolvCmd), 1, "", failure->description});
    else
        logs.push_back({std::string(linked ? texts::kRelinkCmd : texts::kWriteResolvCmd), 0,
                        std::string(linked ? texts::kRelinked : texts::kWrittenFallback), ""});
}

}  // namespace

core::Record emergency_network_reset(core::CommandRunner& runner, Seams& seams,
                                     const ResolvPaths& paths, const TunnelPaths& tunnel) {
    // Removal of what may not exist: failures are expected and say nothing.
    remove_killswitch_chain(runner);
    runner.run(mss_clamp_command("-D"));
    remove_killswitch_chain(runner, IpFamily::kV6);
    std::vector<core::LogEntry> logs = {
        {texts::flush_cmd(core::kKillswitchChain), 0, std::string(texts::kFlushed), ""}};

    seams.remove_dns_redirect();
    // The tunnel goes, whatever it was built as.
    const auto down = clear_tunnel(runner, tunnel);
    // A tunnel that died (its process killed, its link deleted by someone else) leaves
    // wg-quick's rules behind: wg-quick down refuses to run without the link.
    if (down && down->rc == 0) forget_tunnel_table(tunnel);
    else remove_tunnel_leftovers(runner, tunnel);
    restore_src_valid_mark(runner, tunnel);

    repair_resolv_conf(paths, logs);

    // Only MTUs the helper changed go back, to what the link had before; one changed by
    // someone else since is theirs, and a guess (Ethernet's 1500) breaks a 1492 line.
    restore_mtus(runner, tunnel, logs);

    core::run_logged(runner, logs, core::kFlushResolverCachesCmd);
    core::run_logged(runner, logs, {"systemctl", "restart", "NetworkManager"});
    return {true, {}, std::move(logs)};
}

}  // namespace tq8::netops
