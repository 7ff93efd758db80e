// The command runner: posix_spawn, both pipes drained under one deadline, strict decoding.
#include "root_helper/core/command_runner.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <memory>
#include <optional>

#include "root_helper/core/records.hpp"
#include "root_helper/core/sys_io.hpp"
#include "root_helper/core/system_util.hpp"
#include "root_helper/core/text_decode.hpp"
#include "root_helper/core/texts.hpp"
#include "root_helper/core/unique_fd.hpp"

namespace tq8::core {
namespace {

// One pipe's capacity by default: a read rarely finds more waiting.
constexpr std::size_t kReadChunk = 64 * 1024;

// Beyond this a limit means nothing, and adding it to the clock could overflow.
constexpr double kLongestLimit = 1e9;

Deadline deadline_after(TimeLimit limit) {
    if (!limit.limited() || !(limit.in_seconds() <= kLongestLimit)) return std::nullopt;
    // A limit of zero or less has run out at once.
    const std::chrono::duration<double> seconds(std::max(limit.in_seconds(), 0.0));
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(seconds);
}

// The failure triple: (1, "", "Komut çalıştırma hatası (<cmd joined>): <description>").
CommandResult failure(const std::vector<std::string>& cmd, std::string_view description) {
    return {1, "",
            std::string(texts::kRunFailurePrefix) + join(cmd) + "): " + std::string(description)};
}

// The limit as the caller wrote it: 15, not 15.000000.
std::string seconds_text(double seconds) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, seconds, std::chars_format::fixed);
    return ec == std::errc() ? std::string(buf, end) : std::to_string(seconds);
}

struct Stream {
    UniqueFd read;
    UniqueFd write;
    std::string data;
};

// Reads both streams to their ends by the deadline: 0, ETIMEDOUT, or a failed read's errno.
// A stream at its end keeps its place in the set as -1, which poll() passes over.
int drain(Stream (&streams)[2], const Deadline& deadline) {
    const auto buf = std::make_unique_for_overwrite<char[]>(kReadChunk);
    while (streams[0].read || streams[1].read) {
        pollfd pfds[2] = {{streams[0].read.get(), POLLIN, 0}, {streams[1].read.get(), POLLIN, 0}};
        // Checked before each wait: a child that never stops writing must not outlast it.
        if (deadline && Clock::now() >= *deadline) return ETIMEDOUT;
        if (wait_any(pfds, deadline) < 0) return errno;
        for (std::size_t i = 0; i < 2; ++i) {
            if (pfds[i].revents == 0) continue;
            const ssize_t got = read_some(pfds[i].fd, buf.get(), kReadChunk);
            if (got > 0) streams[i].data.append(buf.get(), static_cast<std::size_t>(got));
            else if (got == 0) streams[i].read.reset();
            else if (errno != EAGAIN) return errno;
        }
    }
    return 0;
}

}  // namespace

CommandResult run_cmd(const std::vector<std::string>& cmd, TimeLimit limit) {
    const Deadline deadline = deadline_after(limit);
    if (cmd.empty()) return failure(cmd, texts::kRunEmptyCommand);
    std::vector<char*> argv;
    argv.reserve(cmd.size() + 1);
    for (const std::string& item : cmd) {
        if (item.find('\0') != std::string::npos) return failure(cmd, texts::kRunNulInArgument);
        argv.push_back(const_cast<char*>(item.c_str()));
    }
    argv.push_back(nullptr);

    // A helper started with 0, 1 or 2 closed gets those numbers for its pipes; that is harmless:
    // glibc's dup2 action onto the same number clears close-on-exec, and an end left on 0 is
    // close-on-exec.
    Stream streams[2];
    for (Stream& s : streams) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return failure(cmd, errno_text(errno));
        s.read = UniqueFd(fds[0]);
        s.write = UniqueFd(fds[1]);
    }
    Child child;
    // A program that cannot start reads like the runtime's own OSError ("[Errno 2] No such file
    // or directory: 'wg'"), which is what the graphical application has always shown.
    if (int e = child.spawn(argv.data(), streams[0].write.get(), streams[1].write.get()); e != 0)
        return failure(cmd, errno_text(e, cmd[0]));
    // End of file comes only when every write end is closed, ours included.
    for (Stream& s : streams) s.write.reset();
    const int e = drain(streams, deadline);
    const std::optional<int> rc = e == 0 ? child.wait(deadline) : std::nullopt;
    if (e == ETIMEDOUT || (e == 0 && !rc)) {
        child.kill_and_reap();
        return failure(cmd, texts::run_timed_out(join(cmd), seconds_text(limit.in_seconds())));
    }
    if (e != 0) return failure(cmd, errno_text(e));
    // Standard output first, as the runtime would decode it.
    for (auto [s, name] : {std::pair{&streams[0].data, texts::kRunStdout},
                           std::pair{&streams[1].data, texts::kRunStderr}}) {
        if (decode_output_in_place(*s)) continue;
        const std::size_t at = utf8_error_offset(*s).value_or(0);
        return failure(cmd, texts::run_not_utf8(name, at, static_cast<unsigned char>((*s)[at])));
    }
    return {*rc, std::move(streams[0].data), std::move(streams[1].data)};
}

}  // namespace tq8::core
