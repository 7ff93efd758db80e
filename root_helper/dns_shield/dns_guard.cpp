// dns_guard: keeps the stub-to-shield redirect in place while the application and the shield
// live, and always takes it away again on the way out. Its system world is guard_world.cpp.
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "root_helper/core/constants.hpp"
#include "root_helper/core/texts.hpp"
#include "root_helper/dns_shield/dns_shield.hpp"

namespace tq8::dns_shield {
namespace {

using namespace std::chrono_literals;

constexpr auto kInputWait = 5s;
constexpr auto kGraceWait = 2s;
// At most one check a second comes from input: a chatty or broken writer (or /dev/zero) must
// not turn the watch into a loop of probes.
constexpr auto kInputSpacing = 1s;

bool shield_healthy(Seams& seams) {
    return seams.shield_listening() && seams.shield_answers();
}

// Both steps run even when the removal throws: a cache filled through the shield must not
// outlive the redirect. Under the run lock, like every other change to the firewall, but
// waited for only so long: a run held up by its caller must not keep every program's DNS on
// a shield that is gone. The redirect stays when a guard started since owns it now.
void clean_up(core::CommandRunner& runner, Seams& seams, GuardWorld& world) {
    std::unique_ptr<core::OpLock> lock = world.lock_operations(kCleanUpLockWait);
    core::UniqueFd guards = world.lock_guards(kCleanUpLockWait);
    std::exception_ptr failure;
    try {
        if (world.redirect_is_ours()) {
            seams.remove_dns_redirect();
            world.drop_claim();
        }
    } catch (...) {
        failure = std::current_exception();
    }
    runner.run(core::kFlushResolverCachesCmd);
    if (failure) std::rethrow_exception(failure);
}

// A start refused: the reason on out, the result for the caller.
GuardOutcome refuse(LineSink& out, GuardResult result, std::string_view line) {
    out.write_line(line);
    return {result, 0};
}

// The watch loop. Returns the signal that ended it, or 0 for the end of input or a shield
// that failed two checks in a row.
int watch(Seams& seams, GuardWorld& world) {
    auto last_check = world.now() - kInputSpacing;  // the first arrival is checked at once
    for (;;) {
        WaitEvent ev = world.wait_input(kInputWait);
        if (ev.kind == WaitEvent::kEnd) return 0;
        if (ev.kind == WaitEvent::kSignal) return ev.signal;
        // Input that comes sooner than a second after the last check is coalesced: the check
        // waits out the rest of that second, and input is not read meanwhile, so a flood
        // costs one read and one check a second.
        const auto rest = last_check + kInputSpacing - world.now();
        if (ev.kind == WaitEvent::kInput && rest > rest.zero()) {
            if (int sig = world.pause(std::chrono::ceil<std::chrono::milliseconds>(rest)))
                return sig;
        }
        last_check = world.now();
        if (shield_healthy(seams)) continue;
        // One miss is forgiven: a shield reloading its block list may be briefly slow.
        if (int sig = world.pause(kGraceWait)) return sig;
        if (!shield_healthy(seams)) return 0;
    }
}

// The rest of the start and the watch: claims and inserts the redirect, gives the install's
// locks back (unlock), announces the redirect and watches it; then cleans up, on every way out
// after the claim.
GuardOutcome insert_and_watch(core::CommandRunner& runner, Seams& seams, LineSink& out,
                              GuardWorld& world, const std::function<void()>& unlock) {
    // The termination signals stay caught for as long as the rule may be in place; a way out
    // that does not give them back itself (an exception) has them given back here.
    world.arm_signals();
    std::unique_ptr<GuardWorld, void (*)(GuardWorld*)> armed(
        &world, [](GuardWorld* w) { w->disarm_signals(); });
    int sig = 0;
    try {
        // Claimed before the insert: there is no moment when our rule stands with another
        // guard's name on it.
        world.claim_redirect();
        core::CommandResult ins = runner.run(redirect_command("-I"));
        if (ins.rc != 0) {
            unlock();
            out.write_line(std::string(texts::kGuardInsertFailedPrefix) + ins.err);
            return {kGuardInsertFailed, armed.release()->disarm_signals()};
        }
        runner.run(core::kFlushResolverCachesCmd);
        unlock();
        // A reader that is already gone will never close our input on purpose: treat it
        // like the end of input instead of leaving the redirect behind.
        if (out.write_line(texts::kGuardReady)) sig = watch(seams, world);
    } catch (...) {
        // On the way out of a failure, that failure is the one worth reporting: once the
        // inner handler is done, throw; rethrows it.
        try {
            clean_up(runner, seams, world);
        } catch (...) {
        }
        throw;
    }
    clean_up(runner, seams, world);
    const int late = armed.release()->disarm_signals();
    return {kGuardWatched, sig != 0 ? sig : late};
}

}  // namespace

GuardOutcome dns_guard(core::CommandRunner& runner, Seams& seams, LineSink& out,
                       GuardWorld& world) {
    // What the guard cannot work without: a resolver file that points at the local stub (a
    // plain substring search: the marker counts wherever it stands, comments included) and
    // iptables.
    if (world.resolv_conf().find("nameserver " + core::STUB_DNS) == std::string::npos)
        return refuse(out, kGuardNoResolved, texts::kGuardNoResolved);
    if (!world.iptables_on_path()) return refuse(out, kGuardNoIptables, texts::kGuardNoIptables);

    // The install is one change to the firewall, serialised with the helper's other runs.
    // The lock is given back before the ready line: the watch lasts as long as the VPN
    // session, and dns-off, the reset or another action must not wait for it that long.
    std::unique_ptr<core::OpLock> install_lock = world.lock_operations(core::kOpLockNoLimit);
    core::UniqueFd guards = world.lock_guards(core::kOpLockNoLimit);
    auto unlock = [&] {
        guards.reset();
        install_lock.reset();
    };
    // Copies left by a guard that was killed before its clean-up. Before the shield check:
    // with no shield, a stale redirect sends every program's DNS to a dead port (or to
    // whoever binds it next), so even a guard that cannot start must not leave it.
    seams.remove_dns_redirect();
    if (!seams.shield_listening()) {
        unlock();
        return refuse(out, kGuardNoShield, texts::kGuardNoShield);
    }

    return insert_and_watch(runner, seams, out, world, unlock);
}

}  // namespace tq8::dns_shield
