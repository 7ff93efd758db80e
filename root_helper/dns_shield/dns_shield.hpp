// DNS shield redirect: the shield probes, the redirect's removal and the long-running guard.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "root_helper/core/command_runner.hpp"
#include "root_helper/core/constants.hpp"
#include "root_helper/core/op_lock.hpp"
#include "root_helper/core/state_dir.hpp"
#include "root_helper/core/unique_fd.hpp"

namespace tq8::dns_shield {

// What the guard asks of the other DNS operations: the redirect's removal and the two probes.
// The binding routes each call through the module (a Python replacement is honoured); tests
// script it.
class Seams {
public:
    virtual ~Seams() = default;
    virtual bool remove_dns_redirect() = 0;
    virtual bool shield_listening() = 0;
    virtual bool shield_answers() = 0;
};

// True when the UDP table text (the contents of /proc/net/udp) holds a socket on
// 127.0.0.1:5354 owned by owner or by uid 0, and every socket on port 5354 that can receive
// 127.0.0.1's datagrams (bound to 127.0.0.1 or 0.0.0.0 in table; to ::ffff:127.0.0.1 or :: in
// table6, the contents of /proc/net/udp6) is owned by one of the two as well: Linux hands a
// unicast datagram to only one of the sockets that share an address, so another user's socket
// beside the shield's may be the one that reads the queries.
bool shield_listening_in(std::string_view table, std::string_view table6, std::string_view owner);

// Reads /proc/net/udp and /proc/net/udp6 with owner the caller's uid ("0" without a caller; a
// PKEXEC_UID that is no uid leaves only root's sockets as ours). False when the first
// cannot be read; a udp6 that cannot be read (no IPv6 in the kernel) counts as empty.
bool shield_listening();

// Sends the 33-octet probe query (ID 0x12 0x34) to the shield and waits up to timeout_ms for a
// reply carrying its ID. False on time-out, refusal or any socket error after creation; throws
// std::system_error when the socket cannot be created.
bool shield_answers(std::uint16_t port = core::kShieldPort, int timeout_ms = 3000);

// "iptables -w 5 -t nat <rule_command> OUTPUT ... -j DNAT --to-destination 127.0.0.1:5354":
// the redirect with its rule command (-I, -C, -D) in front; the guard inserts it, the removal
// checks and deletes it.
std::vector<std::string> redirect_command(const char* rule_command);

// Deletes every copy of the redirect (at most 5 per call). True when the last check found none.
bool remove_dns_redirect(core::CommandRunner& runner);

// Where the guard's lines go. write_line writes the line and a line break and flushes; false
// when the reader has gone (EPIPE) or takes no line within a short time.
class LineSink {
public:
    virtual ~LineSink() = default;
    virtual bool write_line(std::string_view line) = 0;
};

// How long the guard's clean-up waits for the run lock, and then for the guards' lock, before
// it goes ahead without: whatever another run does (a reset whose commands run to their
// limit, a run stopped or stalled by its caller), the redirect is gone within these two waits
// and the clean-up's own commands.
inline constexpr std::chrono::milliseconds kCleanUpLockWait{3'000};

// How long a reader may leave a full pipe unread before the guard counts it as gone: the
// ready line is written with the rule in place, and a blocked write would keep it there.
inline constexpr std::chrono::milliseconds kLineWriteLimit{2'000};

// Writes line and a line break to fd without ever blocking past limit (the descriptor itself
// is left as it was). False when the reader is gone (EPIPE, a closed descriptor) or the limit
// passed before the whole line was taken; throws std::system_error for any other error.
bool write_line_within(int fd, std::string_view line,
                       std::chrono::milliseconds limit = kLineWriteLimit);

// The guard's result, as the module's dns_guard returns it and the command exits with. The
// numbers are published: the application tells the causes apart by them.
enum GuardResult : int {
    kGuardWatched = 0,       // watched until the end of input or a signal, then cleaned up
    kGuardNoResolved = 3,    // the resolver file does not point at the local stub
    kGuardNoIptables = 4,    // no iptables on PATH
    kGuardNoShield = 5,      // the shield is not listening
    kGuardInsertFailed = 6,  // the redirect could not be put in place
};

struct GuardOutcome {
    GuardResult result = kGuardWatched;
    int signal = 0;  // non-zero: a termination signal ended the watch (after the clean-up)
};

// How one wait of the guard's watch loop ended.
struct WaitEvent {
    enum Kind { kTimeout, kInput, kEnd, kSignal };
    Kind kind = kTimeout;
    int signal = 0;  // kSignal: the signal's number
};

// The guard's outside world apart from commands and probes: the resolver file, the PATH
// lookup, standard input, the clock and the signals that would end the process.
class GuardWorld {
public:
    virtual ~GuardWorld() = default;
    // The resolver file's contents; empty when it cannot be read.
    virtual std::string resolv_conf() = 0;
    // True when a directory on PATH holds an executable named "iptables".
    virtual bool iptables_on_path() = 0;
    // Until disarm_signals, every catchable signal whose default ends the process (SIGTERM,
    // SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM, the real-time ones, ...) is caught and
    // reported by the waits instead of ending it, and SIGPIPE is ignored; a signal already
    // ignored stays ignored. Throws std::system_error when that cannot be arranged.
    virtual void arm_signals() = 0;
    // Puts back what arm_signals replaced; returns a signal caught but not yet reported by a
    // wait (the first one), or 0.
    virtual int disarm_signals() = 0;
    // Waits up to limit for input or a caught signal; input that arrived is read and thrown
    // away (a line, or whatever is there). Throws std::system_error when the input cannot be
    // waited on or read.
    virtual WaitEvent wait_input(std::chrono::milliseconds limit) = 0;
    // Lets limit pass unless a signal is caught first: the signal's number, or 0.
    virtual int pause(std::chrono::milliseconds limit) = 0;
    // The monotonic clock the watch paces its checks by.
    virtual std::chrono::steady_clock::time_point now() { return std::chrono::steady_clock::now(); }
    // The run lock that other system-changing runs of the helper take, waited for at most
    // `wait` (core::kOpLockNoLimit: as long as it takes) and held for as long as the returned
    // object lives; the guard holds it around its install and its clean-up only.
    // nullptr: nothing to take.
    virtual std::unique_ptr<core::OpLock> lock_operations(std::chrono::milliseconds) = 0;
    // The guards' own lock, taken after the run lock around the install and the clean-up, so
    // that the owner record and the rule change together: the locked descriptor (closing it
    // lets go), or none when it cannot be had within `wait`.
    virtual core::UniqueFd lock_guards(std::chrono::milliseconds) = 0;
    // Records this guard as the owner of the redirect it is about to insert; when that
    // cannot be written, no record is left at all.
    virtual void claim_redirect() = 0;
    // False only while the record names another guard that still runs: that guard inserted
    // the redirect after this one (its start removed this one's copy), and it removes it.
    virtual bool redirect_is_ours() = 0;
    // Removes the record (after the owner's clean-up).
    virtual void drop_claim() = 0;
};

// The real world: resolv_path, the process's PATH, stdin_fd, the monotonic clock, sigaction
// handlers that report through a close-on-exec self-pipe, the run lock at lock_path (an
// empty path: no lock), and the guards' lock and owner record in state_dir (empty: none, and
// every clean-up removes the redirect). One world at a time may have its signals armed in a
// process; arming a second throws std::logic_error.
std::unique_ptr<GuardWorld> system_guard_world(int stdin_fd,
                                               std::string resolv_path = "/etc/resolv.conf",
                                               std::string lock_path = core::kOpLockPath,
                                               std::string state_dir = core::kStateDir);

// The guard with its outside world supplied by the caller.
GuardOutcome dns_guard(core::CommandRunner& runner, Seams& seams, LineSink& out,
                       GuardWorld& world);

// The DNS guard on the real system: reads /etc/resolv.conf, watches stdin_fd.
inline GuardOutcome dns_guard(core::CommandRunner& runner, Seams& seams, LineSink& out,
                              int stdin_fd) {
    return dns_guard(runner, seams, out, *system_guard_world(stdin_fd));
}

}  // namespace tq8::dns_shield
