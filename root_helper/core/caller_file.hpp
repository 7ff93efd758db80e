// Reading a file the caller names with the caller's own rights, never root's.
#pragma once

#include <cstddef>
#include <string>

namespace tq8::core {

struct CallerFile {
    enum class Status {
        ok,           // content holds the whole file
        absent,       // the caller's status query of the path failed (missing, or not reachable)
        unreadable,   // the caller may not open it for reading (or PKEXEC_UID names no user)
        not_regular,  // a directory, device, FIFO or socket
        too_large,    // more than max_size bytes
        system_fs,    // on a kernel file system (procfs, sysfs, ...) whose reads reveal or change
                      // the reader's state
        failed,       // the reading process could not run or did not answer in time
    };
    Status status = Status::failed;
    int error = 0;  // errno behind absent, unreadable or failed; 0 otherwise
    std::string content;
};

// Looks at path, following links, as the user named by PKEXEC_UID would (as root when it is
// unset; a value that is not a uid makes every file unreadable): status query, one open, fstat
// and fstatfs of that descriptor, then the whole content. A short-lived child with exactly that user's
// uid, gid and supplementary groups does all of it and writes the result back over a socket,
// so the helper itself never opens what the caller named. Takes at most a few seconds: a
// child that does not answer in time is killed (and abandoned when it cannot even die) and
// the result is failed.
CallerFile read_caller_file(const std::string& path, std::size_t max_size);

}  // namespace tq8::core
