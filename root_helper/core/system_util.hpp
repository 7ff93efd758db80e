// The small system utilities every layer uses, each with one rule: the PATH search, the
// whole-file read, the poll() wait until a deadline and the "[Errno N] text" of an errno.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tq8::core {

// True when name is an executable regular file in one of PATH's directories, found the way a
// shell finds a command: each element in turn, an empty one meaning the current directory,
// and the system's default search path (confstr(_CS_PATH), the one posix_spawnp uses) when
// PATH is unset. A directory or a file without the execute bit does not count.
bool on_path(std::string_view name);

// Everything left to read from fd, retrying reads that a signal interrupted; nullopt when a
// read fails or more than limit bytes come.
std::optional<std::string> read_to_end(int fd, std::size_t limit = SIZE_MAX);

// The whole content of the file at path, read as the process itself; nullopt when it cannot
// be opened or a read fails.
std::optional<std::string> read_whole_file(const std::string& path);

// poll()'s wait in milliseconds until deadline: 0 once it has passed, otherwise rounded up so
// that the wait never ends before the deadline (and never spins on zero-length waits), at most
// INT_MAX.
int poll_wait_ms(std::chrono::steady_clock::time_point deadline);

// How long a child gets to die after SIGKILL before it is abandoned: a process stuck in a
// request to a user-space file system that never answers does not die at all, and waiting for
// it would hand the caller who serves that file the helper's time (and its run lock).
inline constexpr std::chrono::seconds kAbandonAfterKill{1};

// Collects pid's exit if it comes before deadline: its exit status, or minus the signal
// number; nullopt when the deadline passed first (the child is left as it is). A child that
// someone else collected (ECHILD) counts as a success, as the runtime's subprocess does.
std::optional<int> reap_until(pid_t pid, std::chrono::steady_clock::time_point deadline);

// "[Errno 2] No such file or directory": the runtime's own OSError text, the same in every
// locale.
std::string errno_text(int err);

// errno_text(err) + ": '" + path + "'", as OSError shows a failure that names a file.
std::string errno_text(int err, std::string_view path);

}  // namespace tq8::core
