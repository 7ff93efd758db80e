// The small system utilities every layer uses, each with one rule: the PATH search, the
// whole-file read, a path's parts and the "[Errno N] text" of an errno (waits, reads and
// children: sys_io).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "root_helper/core/sys_io.hpp"

namespace tq8::core {

// True when name is an executable regular file in one of PATH's directories, found the way a
// shell finds a command: each element in turn, an empty one meaning the current directory,
// and the system's default search path (confstr(_CS_PATH), the one posix_spawnp uses) when
// PATH is unset. A directory or a file without the execute bit does not count.
bool on_path(std::string_view name);

// The whole content of the file at path, read as the process itself; nullopt when it cannot
// be opened or a read fails.
std::optional<std::string> read_whole_file(const std::string& path);

// The directory part of path ("." when it has none, "/" for a name in the root) and its last
// part.
std::string dir_of(const std::string& path);
std::string base_of(const std::string& path);

// "[Errno 2] No such file or directory": the runtime's own OSError text, the same in every
// locale.
std::string errno_text(int err);

// errno_text(err) + ": '" + path + "'", as OSError shows a failure that names a file.
std::string errno_text(int err, std::string_view path);

}  // namespace tq8::core
