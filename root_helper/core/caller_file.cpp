// read_caller_file: a child with the caller's credentials reads the file and reports back.
#include "root_helper/core/caller_file.hpp"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "root_helper/core/caller.hpp"
#include "root_helper/core/sys_io.hpp"
#include "root_helper/core/unique_fd.hpp"

namespace tq8::core {
namespace {

using Status = CallerFile::Status;

// Long enough for any local file system, short enough that a path on a stalled network or
// user-space file system (or a child the caller has stopped with SIGSTOP) cannot hold the
// privileged run.
constexpr auto kDeadline = std::chrono::seconds(5);

// Whose rights the reading child has; uid 0: the helper's own (no PKEXEC_UID, or it names root).
struct Identity {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
};

// The user pkexec authorised, with the gid and supplementary groups of their login: the same
// rights their own processes have; nullopt when PKEXEC_UID names nobody we could become. A uid
// without an account is refused rather than guessed at.
std::optional<Identity> caller_identity() {
    const Caller who = caller();
    if (who.unknown()) return std::nullopt;
    Identity id;
    if (!who.uid || *who.uid == 0) return id;
    id.uid = *who.uid;
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    int e;
    while ((e = ::getpwuid_r(id.uid, &pw, buf.data(), buf.size(), &found)) == ERANGE &&
           buf.size() < (1u << 20))
        buf.resize(buf.size() * 2);
    if (e != 0 || found == nullptr) return std::nullopt;
    id.gid = pw.pw_gid;
    int n = 32;
    id.groups.resize(static_cast<std::size_t>(n));
    while (::getgrouplist(pw.pw_name, pw.pw_gid, id.groups.data(), &n) < 0) {
        if (n <= static_cast<int>(id.groups.size())) n = static_cast<int>(id.groups.size()) * 2;
        id.groups.resize(static_cast<std::size_t>(n));
    }
    id.groups.resize(static_cast<std::size_t>(n));
    return id;
}

// Kernel file systems whose files describe or steer the process that reads them (procfs'
// /proc/self/..., which the reading child, a fork of the helper, would describe) or the kernel
// (reads of some debugfs and tracefs files have effects). No configuration lives there.
bool system_fs(const struct statfs& fs) {
    static constexpr unsigned long kMagics[] = {
        PROC_SUPER_MAGIC, SYSFS_MAGIC, DEBUGFS_MAGIC, TRACEFS_MAGIC, SECURITYFS_MAGIC,
        CGROUP_SUPER_MAGIC, CGROUP2_SUPER_MAGIC, BPF_FS_MAGIC, SELINUX_MAGIC, SMACK_MAGIC,
        PSTOREFS_MAGIC, EFIVARFS_MAGIC, BINFMTFS_MAGIC, NSFS_MAGIC};
    return std::ranges::find(kMagics, static_cast<unsigned long>(fs.f_type)) != std::end(kMagics);
}

struct Wire {
    std::int32_t status;
    std::int32_t error;
    std::uint64_t size;
};

[[noreturn]] void reply(int sock, Status s, int err = 0, const char* data = nullptr,
                        std::size_t n = 0) {
    const Wire w{static_cast<std::int32_t>(s), err, n};
    if (write_all(sock, {reinterpret_cast<const char*>(&w), sizeof w}) == 0 && n > 0)
        write_all(sock, {data, n});
    ::_exit(0);
}

// After fork() only async-signal-safe calls: everything it needs (identity, path, buffer) was
// prepared before. Raw system calls change the credentials of this one thread-less process;
// the libc wrappers would try to reach threads that no longer exist.
[[noreturn]] void child_main(int sock, const Identity& id, const char* path, char* buf,
                             std::size_t max_size) {
    // Nothing of the helper's stays open in a process the caller may soon signal.
    if (sock > 0) ::close_range(0, static_cast<unsigned>(sock) - 1, 0);
    ::close_range(static_cast<unsigned>(sock) + 1, ~0u, 0);
    if (id.uid != 0) {
        if (::syscall(SYS_setgroups, id.groups.size(), id.groups.data()) != 0 ||
            ::syscall(SYS_setresgid, id.gid, id.gid, id.gid) != 0 ||
            ::syscall(SYS_setresuid, id.uid, id.uid, id.uid) != 0)
            reply(sock, Status::failed, errno);
    }
    struct stat st {};
    if (::stat(path, &st) != 0) reply(sock, Status::absent, errno);
    // Refused before the open where the path says so, and after it by the descriptor itself,
    // which no rename in between can change.
    struct statfs fs {};
    if (::statfs(path, &fs) == 0 && system_fs(fs)) reply(sock, Status::system_fs);
    // O_NONBLOCK: a FIFO must not hang the open; the descriptor is refused below anyway.
    const int fd = ::open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) reply(sock, Status::unreadable, errno);
    if (::fstatfs(fd, &fs) != 0) reply(sock, Status::failed, errno);
    if (system_fs(fs)) reply(sock, Status::system_fs);
    if (::fstat(fd, &st) != 0) reply(sock, Status::failed, errno);
    if (!S_ISREG(st.st_mode)) reply(sock, Status::not_regular);
    if (static_cast<std::uint64_t>(st.st_size) > max_size) reply(sock, Status::too_large);
    // One byte more than allowed: a file that grew since fstat is caught too.
    std::size_t n = 0;
    while (n <= max_size) {
        const ssize_t r = read_some(fd, buf + n, max_size + 1 - n);
        if (r < 0) reply(sock, Status::failed, errno);
        if (r == 0) break;
        n += static_cast<std::size_t>(r);
    }
    if (n > max_size) reply(sock, Status::too_large);
    reply(sock, Status::ok, 0, buf, n);
}

}  // namespace

CallerFile read_caller_file(const std::string& path, std::size_t max_size) {
    const std::optional<Identity> id = caller_identity();
    if (!id) return {Status::unreadable, EPERM, {}};
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        return {Status::failed, errno, {}};
    UniqueFd mine(sv[0]);
    UniqueFd theirs(sv[1]);
    std::string buf(max_size + 1, '\0');
    Child child;
    if (int e = child.fork(); e != 0) return {Status::failed, e, {}};
    if (child.in_child()) child_main(theirs.get(), *id, path.c_str(), buf.data(), max_size);
    theirs.reset();

    const Deadline deadline = deadline_in(kDeadline);
    const auto raw = read_to_end(mine.get(), sizeof(Wire) + max_size, deadline);
    // The child may be stuck for good (a lookup on a user-space file system that never
    // answers does not even end at SIGKILL): it is given up on, never waited for.
    if ((!raw && Clock::now() >= *deadline) || !child.wait(deadline)) {
        child.kill_and_reap();
        return {Status::failed, ETIMEDOUT, {}};
    }
    // The reply's size is bounded by read_to_end's limit; its header must match what came.
    Wire w{};
    if (!raw || raw->size() < sizeof w) return {Status::failed, EIO, {}};
    std::memcpy(&w, raw->data(), sizeof w);
    if (w.status < 0 || w.status > static_cast<std::int32_t>(Status::failed) ||
        w.size != raw->size() - sizeof w)
        return {Status::failed, EIO, {}};
    const auto status = static_cast<Status>(w.status);
    return {status, w.error, status == Status::ok ? raw->substr(sizeof w) : std::string()};
}

}  // namespace tq8::core
