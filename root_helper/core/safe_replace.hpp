// Replacing a file so that no reader ever sees half of it, and rewriting one in place where a
// replacement cannot stand in for it.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tq8::core {

// What a replacement file gets: its mode (whatever the umask), the owner and group when given
// (set first: a change of owner clears the set-id bits), and an fsync before it is renamed in.
struct FileMode {
    mode_t mode = 0600;
    std::optional<std::pair<uid_t, gid_t>> owner;
    bool sync = false;
};

// name in the directory dirfd replaced by a regular file holding content, through a fresh
// hidden name beside it and rename(), so readers see the old file or the new one. 0 on success,
// else the errno of the step that failed; the hidden name never outlives a failure.
int replace_file(int dirfd, const std::string& name, std::string_view content,
                 const FileMode& mode);
// The same for a symbolic link to target.
int replace_with_link(int dirfd, const std::string& name, const std::string& target);

// content written through path itself (truncated first, a link at the end not followed, a FIFO
// without a reader refused rather than waited for), fsync'ed when sync: what path is and its
// mode, owner and group all stay. 0 or the errno.
int write_in_place(const std::string& path, std::string_view content, bool sync);

}  // namespace tq8::core
