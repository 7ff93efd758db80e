// emergency_network_reset: the fixed clean-up sequence and the /etc/resolv.conf repair.
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "root_helper/core/constants.hpp"
#include "root_helper/core/system_util.hpp"
#include "root_helper/core/texts.hpp"
#include "root_helper/core/unique_fd.hpp"
#include "root_helper/netops/netops.hpp"

namespace tq8::netops {
namespace {

constexpr std::string_view kFallbackResolvers = "nameserver 1.1.1.1\nnameserver 9.9.9.9\n";
// The same hop limit the kernel applies when it follows a chain of links itself.
constexpr int kMaxLinkHops = 40;
constexpr int kTempNameAttempts = 100;

// A failed file operation, worded like the runtime's own OSError text so that the
// application shows the same description it always has.
struct FsError {
    std::string description;
    int err = 0;
};

FsError fs_error(int err, const std::string& path) {
    return FsError{core::errno_text(err, path), err};
}

// rename() cannot put a new file in this place: a bind-mounted file (containers) or a file of
// another file system. Writing in place is the only repair left.
bool rename_refused(const std::optional<FsError>& e) {
    return e && (e->err == EBUSY || e->err == EXDEV);
}

std::string dir_of(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string base_of(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Unpredictable as well as unique: O_EXCL and symlink() refuse an existing name, so a name
// someone placed in advance costs a retry and nothing more.
std::string random_suffix() {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static std::uint64_t fallback_state =
        static_cast<std::uint64_t>(::getpid()) * 0x9E3779B97F4A7C15ULL;
    unsigned char bytes[8];
    if (::getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        fallback_state = fallback_state * 6364136223846793005ULL + 1442695040888963407ULL +
                         static_cast<std::uint64_t>(std::time(nullptr));
        std::memcpy(bytes, &fallback_state, sizeof bytes);
    }
    std::string s;
    for (unsigned char b : bytes) s += kAlphabet[b % (sizeof kAlphabet - 1)];
    return s;
}

// A directory entry made under a fresh hidden name beside the file it will replace. Unless
// commit() renames it into place, the destructor removes it again: a failed repair leaves
// nothing behind.
class TempEntry {
public:
    TempEntry() = default;
    TempEntry(const TempEntry&) = delete;
    TempEntry& operator=(const TempEntry&) = delete;
    ~TempEntry() {
        if (!path_.empty()) ::unlink(path_.c_str());
    }

    // make(candidate) creates the entry and returns 0 or an errno value; EEXIST means "try
    // another name".
    template <typename Make>
    std::optional<FsError> create(const std::string& beside, const std::string& reported,
                                  Make make) {
        const std::string prefix = dir_of(beside) + "/." + base_of(beside) + ".tq8-";
        for (int i = 0; i < kTempNameAttempts; ++i) {
            std::string candidate = prefix + random_suffix();
            int err = make(candidate);
            if (err == 0) {
                path_ = std::move(candidate);
                return std::nullopt;
            }
            if (err != EEXIST) return fs_error(err, reported);
        }
        return fs_error(EEXIST, reported);
    }

    // rename() swaps the entry in atomically: readers see the old file or the new one, never
    // a moment without either.
    std::optional<FsError> commit(const std::string& target) {
        if (::rename(path_.c_str(), target.c_str()) != 0) return fs_error(errno, target);
        path_.clear();
        return std::nullopt;
    }

private:
    std::string path_;
};

std::optional<FsError> relink_to_stub(const ResolvPaths& paths) {
    TempEntry link;
    if (auto e = link.create(paths.resolv_conf, paths.resolv_conf, [&](const std::string& p) {
            return ::symlink(paths.stub.c_str(), p.c_str()) == 0 ? 0 : errno;
        }))
        return e;
    return link.commit(paths.resolv_conf);
}

// Where writing "through" path lands: path itself, or the end of the chain of symbolic links
// that starts there (a dangling link's target is created, as an ordinary open would).
std::optional<FsError> final_target(const std::string& path, std::string& out) {
    std::string current = path;
    for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
        struct stat st{};
        if (::lstat(current.c_str(), &st) != 0) {
            if (errno == ENOENT) {
                out = current;
                return std::nullopt;
            }
            return fs_error(errno, current);
        }
        if (!S_ISLNK(st.st_mode)) {
            out = current;
            return std::nullopt;
        }
        std::string target(st.st_size > 0 ? static_cast<std::size_t>(st.st_size) + 1 : 4096,
                           '\0');
        ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
        if (n < 0) return fs_error(errno, current);
        // Longer than lstat said: the link changed under us. Refuse rather than follow a
        // cut-off target.
        if (static_cast<std::size_t>(n) == target.size()) return fs_error(ENAMETOOLONG, current);
        target.resize(static_cast<std::size_t>(n));
        current = (!target.empty() && target[0] == '/') ? target : dir_of(current) + "/" + target;
    }
    return fs_error(ELOOP, path);
}

std::optional<FsError> write_all(int fd, std::string_view data, const std::string& reported) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return fs_error(errno, reported);
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return std::nullopt;
}

// A fresh file with the fallback text renamed over target. It takes over old's mode, owner
// and group; without old (nothing was there) it is root's, 0644.
std::optional<FsError> replace_with_fallback(const std::string& target, const struct stat* old) {
    TempEntry file;
    core::UniqueFd fd;
    if (auto e = file.create(target, target, [&](const std::string& p) {
            fd = core::UniqueFd(::open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
            return fd ? 0 : errno;
        }))
        return e;
    // chown before chmod: a change of owner clears the set-id bits.
    if (old && ::fchown(fd.get(), old->st_uid, old->st_gid) != 0) return fs_error(errno, target);
    // Every program on the machine reads a new file, whatever umask the helper inherited.
    if (::fchmod(fd.get(), old ? (old->st_mode & 07777) : 0644) != 0) return fs_error(errno, target);
    if (auto e = write_all(fd.get(), kFallbackResolvers, target)) return e;
    if (::fsync(fd.get()) != 0) return fs_error(errno, target);
    if (::close(fd.release()) != 0) return fs_error(errno, target);
    return file.commit(target);
}

// Rewrites target through itself: what it is (a device, a file with several names, a
// bind-mounted file) and its mode, owner and group all stay. O_NONBLOCK: a FIFO without a
// reader fails instead of hanging the reset.
std::optional<FsError> write_in_place(const std::string& target, bool regular) {
    core::UniqueFd fd(::open(target.c_str(),
                             O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK));
    if (!fd) return fs_error(errno, target);
    if (auto e = write_all(fd.get(), kFallbackResolvers, target)) return e;
    if (regular && ::fsync(fd.get()) != 0) return fs_error(errno, target);
    if (::close(fd.release()) != 0) return fs_error(errno, target);
    return std::nullopt;
}

std::optional<FsError> write_fallback(const ResolvPaths& paths) {
    std::string target;
    if (auto e = final_target(paths.resolv_conf, target)) return e;

    struct stat st{};
    if (::lstat(target.c_str(), &st) != 0) {
        if (errno != ENOENT) return fs_error(errno, target);
        // Nothing at the end of the path: no file, or a link that dangles (typically into
        // the directory of a resolver that was removed). A regular file takes its place;
        // following the link would create a file in a directory that may be gone.
        return replace_with_fallback(paths.resolv_conf, nullptr);
    }
    if (S_ISDIR(st.st_mode)) return fs_error(EISDIR, target);
    // A link to the stub of a resolver that is not running: its file in /run is resolved's
    // own and goes at the next boot, so the link is replaced by a file of our own instead.
    struct stat stub{};
    if (target != paths.resolv_conf && ::stat(paths.stub.c_str(), &stub) == 0 &&
        stub.st_dev == st.st_dev && stub.st_ino == st.st_ino)
        return replace_with_fallback(paths.resolv_conf, nullptr);
    // A rename would split a file with several names and turn a device into a regular file.
    if (!S_ISREG(st.st_mode) || st.st_nlink > 1) return write_in_place(target, S_ISREG(st.st_mode));
    auto replaced = replace_with_fallback(target, &st);
    if (rename_refused(replaced) || (replaced && replaced->err == EPERM))
        return write_in_place(target, true);
    return replaced;
}

// The stub counts only while resolved serves it: its file can outlive the service in /run,
// and a link to a dead stub leaves the machine without DNS. 127.0.0.53:53 in the kernel's
// little-endian hex is 3500007F:0035.
bool stub_alive(const ResolvPaths& paths) {
    struct stat st{};
    if (::stat(paths.stub.c_str(), &st) != 0) return false;
    const auto read = core::read_whole_file(paths.udp_table);
    if (!read) return false;
    const std::string& table = *read;
    std::size_t pos = table.find('\n');  // the header line
    while (pos != std::string::npos) {
        const std::size_t start = pos + 1;
        pos = table.find('\n', start);
        std::string_view line(table.data() + start,
                              (pos == std::string::npos ? table.size() : pos) - start);
        // Field 0 is the slot ("12:"), field 1 the local address.
        std::size_t a = line.find_first_not_of(" \t");
        if (a == std::string_view::npos) continue;
        a = line.find_first_of(" \t", a);
        if (a == std::string_view::npos) continue;
        a = line.find_first_not_of(" \t", a);
        if (a == std::string_view::npos) continue;
        std::size_t b = line.find_first_of(" \t", a);
        if (line.substr(a, b == std::string_view::npos ? b : b - a) == "3500007F:0035") return true;
    }
    return false;
}

void repair_resolv_conf(const ResolvPaths& paths, std::vector<core::LogEntry>& logs) {
    bool linked = stub_alive(paths);
    auto failure = linked ? relink_to_stub(paths) : write_fallback(paths);
    if (linked && rename_refused(failure)) {
        // A bind-mounted /etc/resolv.conf cannot become a link: give it working resolvers.
        linked = false;
        failure = write_fallback(paths);
    }
    if (failure) {
        logs.push_back({std::string(texts::kRestoreResolvCmd), 1, "", failure->description});
    } else if (linked) {
        logs.push_back({std::string(texts::kRelinkCmd), 0, std::string(texts::kRelinked), ""});
    } else {
        logs.push_back(
            {std::string(texts::kWriteResolvCmd), 0, std::string(texts::kWrittenFallback), ""});
    }
}

}  // namespace

core::Record emergency_network_reset(core::CommandRunner& runner, Seams& seams,
                                     const ResolvPaths& paths, const TunnelPaths& tunnel) {
    core::Record record;
    record.ok = true;
    auto& logs = record.logs;

    // Removal of what may not exist: failures are expected and say nothing.
    remove_killswitch_chain(runner);
    runner.run(mss_clamp_command("-D"));
    remove_killswitch_chain(runner, IpFamily::kV6);
    logs.push_back({std::string(texts::kFlushCmd), 0, std::string(texts::kFlushed), ""});

    seams.remove_dns_redirect();
    // A wg-quick tunnel goes down with the copy it came up from, so that the routes and
    // policy rules wg-quick added go with it; the link delete catches everything else.
    const auto wg_copy = private_copy(tunnel);
    const bool wg_quick_down = wg_copy && runner.run(wg_quick_command("down", *wg_copy)).rc == 0;
    runner.run(kTunnelLinkDeleteCmd);
    if (wg_copy) remove_private_copy(tunnel);
    // A tunnel that died (its process killed, its link deleted by someone else) leaves
    // wg-quick's rules behind: wg-quick down refuses to run without the link.
    if (wg_quick_down) forget_tunnel_table(tunnel);
    else remove_tunnel_leftovers(runner, tunnel);
    restore_src_valid_mark(runner, tunnel);

    repair_resolv_conf(paths, logs);

    // Only MTUs the helper changed go back, to what the link had before; one changed by
    // someone else since is theirs, and a guess (Ethernet's 1500) breaks a 1492 line.
    restore_mtus(runner, tunnel, logs);

    logs.push_back(core::log_entry(core::join(core::kFlushResolverCachesCmd),
                                   runner.run(core::kFlushResolverCachesCmd)));
    const std::vector<std::string> restart = {"systemctl", "restart", "NetworkManager"};
    logs.push_back(core::log_entry(core::join(restart), runner.run(restart)));
    return record;
}

}  // namespace tq8::netops
