// Replacing a file through a hidden name and rename(), and rewriting one in place.
#include "root_helper/core/safe_replace.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "root_helper/core/sys_io.hpp"
#include "root_helper/core/unique_fd.hpp"

namespace tq8::core {
namespace {

constexpr int kTempNameAttempts = 100;

// Unpredictable as well as unique: O_EXCL and symlink() refuse an existing name, so a name
// someone placed in advance costs a retry and nothing more. Without the kernel's random bytes
// (early in boot) the clock's nanoseconds, spread over the word, still give each try a new name.
std::string random_suffix() {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[8];
    if (::getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        const std::uint64_t ns = Clock::now().time_since_epoch().count();
        const std::uint64_t spread = ns * 0x9E3779B97F4A7C15ULL;
        std::memcpy(bytes, &spread, sizeof bytes);
    }
    std::string s;
    for (unsigned char b : bytes) s += kAlphabet[b % (sizeof kAlphabet - 1)];
    return s;
}

// make(dirfd, temp name) creates the entry (0, or the errno: EEXIST tries another name), fill
// (when given) completes it; then it is renamed over name. On any failure the entry goes again.
template <typename Make, typename Fill>
int replace_entry(int dirfd, const std::string& name, Make make, Fill fill) {
    const std::string prefix = "." + name + ".tq8-";
    std::string temp;
    int err = EEXIST;
    for (int i = 0; i < kTempNameAttempts && err == EEXIST; ++i) {
        temp = prefix + random_suffix();
        err = make(temp);
    }
    if (err != 0) return err;
    err = fill();
    if (err == 0 && ::renameat(dirfd, temp.c_str(), dirfd, name.c_str()) != 0) err = errno;
    if (err != 0) ::unlinkat(dirfd, temp.c_str(), 0);
    return err;
}

// A FIFO whose reader stops reading must not hold the caller for good.
constexpr std::chrono::seconds kWriteLimit{2};

int finish(UniqueFd& fd, std::string_view content, bool sync) {
    if (int e = write_all(fd.get(), content, deadline_in(kWriteLimit))) return e;
    if (sync && ::fsync(fd.get()) != 0) return errno;
    return ::close(fd.release()) == 0 ? 0 : errno;
}

}  // namespace

int replace_file(int dirfd, const std::string& name, std::string_view content,
                 const FileMode& mode) {
    UniqueFd fd;
    const auto make = [&](const std::string& temp) {
        fd = UniqueFd(::openat(dirfd, temp.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        return fd ? 0 : errno;
    };
    return replace_entry(dirfd, name, make, [&] {
        if (mode.owner && ::fchown(fd.get(), mode.owner->first, mode.owner->second) != 0)
            return errno;
        if (::fchmod(fd.get(), mode.mode) != 0) return errno;
        return finish(fd, content, mode.sync);
    });
}

int replace_with_link(int dirfd, const std::string& name, const std::string& target) {
    const auto make = [&](const std::string& temp) {
        return ::symlinkat(target.c_str(), dirfd, temp.c_str()) == 0 ? 0 : errno;
    };
    return replace_entry(dirfd, name, make, [] { return 0; });
}

int write_in_place(const std::string& path, std::string_view content, bool sync) {
    UniqueFd fd(::open(path.c_str(),
                       O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK));
    if (!fd) return errno;
    return finish(fd, content, sync);
}

}  // namespace tq8::core
