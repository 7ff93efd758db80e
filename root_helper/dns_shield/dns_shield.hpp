// DNS shield redirect: the shield probes, the redirect's removal and the long-running guard.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "root_helper/core/command_runner.hpp"
#include "root_helper/core/seams.hpp"

namespace tq8::dns_shield {

// True when the UDP table text (the contents of /proc/net/udp) holds a socket on
// 127.0.0.1:5354 owned by owner or by uid 0.
bool shield_listening_in(std::string_view table, std::string_view owner);

// Reads /proc/net/udp with owner PKEXEC_UID (or "0"). False when the file cannot be read.
bool shield_listening();

// The 33-octet probe query, ID 0x12 0x34.
std::string_view probe_query();

// Sends the probe to the shield and waits up to timeout_ms for a reply carrying its ID.
// False on time-out, refusal or any socket error after creation; throws std::system_error
// when the socket cannot be created.
bool shield_answers(std::uint16_t port = 5354, int timeout_ms = 3000);

// Deletes every copy of the redirect (at most 5 per call). True when the last check found none.
bool remove_dns_redirect(core::CommandRunner& runner);

// Where the guard's lines go. write_line writes the line and a line break and flushes; false
// when the reader has gone (EPIPE).
class LineSink {
public:
    virtual ~LineSink() = default;
    virtual bool write_line(std::string_view line) = 0;
};

struct GuardOutcome {
    int result = 0;  // 0, 3, 4, 5 or 6
    int signal = 0;  // non-zero: a termination signal ended the watch (after the clean-up)
};

// The DNS guard on the real system: reads /etc/resolv.conf, watches stdin_fd.
GuardOutcome dns_guard(core::CommandRunner& runner, core::Seams& seams, LineSink& out,
                       int stdin_fd);

}  // namespace tq8::dns_shield
