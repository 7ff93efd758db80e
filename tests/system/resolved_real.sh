#!/bin/bash
# The guard and the reset against a real systemd-resolved: the packages of the installed
# systemd's version, unpacked by scripts/setup.sh into the build tree, laid over /usr inside
# this sandbox only, with a private system bus. The stub answers; the guard's two cache
# flushes reach resolved; a stub query goes to the shield while the guard runs and to resolved
# after; the reset relinks a foreign file to the real stub file and flushes with rc 0; with
# resolved stopped it leaves resolvers that are not the dead stub.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$here/resolved_lib.sh"
resolved_required
tq8_run_sandboxed "$0" "$@"
tq8_in_sandbox

tq8_scratch resolved 1777 cleanup
source "$here/dns_lib.sh"
source "$here/reset_lib.sh"
cleanup() {
    resolved_stop
    dns_cleanup
}
export PKEXEC_UID=1000

resolved_overlay
start_resolved
ln -sfn /run/systemd/resolve/stub-resolv.conf /etc/resolv.conf

# --- the stub answers (localhost is resolved's own, no upstream needed) ------------------------
tq8_eq "stub answers" 127.0.0.1 "$(dig +short +time=2 +tries=1 @127.0.0.53 localhost A)"

# --- while the guard runs the stub's queries go to the shield, after it to resolved -----------
start_shield 1000 --log "$work/queries"
flushes_before=$(grep -c 'Flushed all caches' "$work/resolved.log" || true)
start_guard
wait_for_ready
tq8_eq "guard: shield answers for the stub" 0.0.0.0 \
    "$(dig +short +time=2 +tries=1 @127.0.0.53 during.example.test A)"
grep -qx during.example.test "$work/queries" || tq8_fail "the query did not reach the shield"
exec 7>&-
wait_guard 5
tq8_eq "guard: status" 0 "$guard_rc"
tq8_eq "guard: rule gone" 0 "$(redirect_copies)"
flushes=$(($(grep -c 'Flushed all caches' "$work/resolved.log" || true) - flushes_before))
tq8_eq "guard: both cache flushes reached resolved" 2 "$flushes"
tq8_eq "after the guard: resolved answers" 127.0.0.1 \
    "$(dig +short +time=2 +tries=1 @127.0.0.53 localhost A)"
dig +short +time=2 +tries=1 @127.0.0.53 after.example.test A >/dev/null || true
! grep -qx after.example.test "$work/queries" || tq8_fail "a query after the guard reached the shield"

# --- the reset relinks a foreign file to the real stub and flushes resolved's caches ----------
bin="$work/bin"
reset_bin_dir "$bin"
ln -sf "$(command -v resolvectl)" "$bin/resolvectl"
reset_fake "$bin" systemctl 0 "" ""
rm -f /etc/resolv.conf && echo "nameserver 198.18.0.9" >/etc/resolv.conf
summary=$(reset_run "$bin")
tq8_eq "reset: entry" "$RESET_E2A" "$(reset_entry "$summary" 2)"
tq8_eq "reset: link" /run/systemd/resolve/stub-resolv.conf "$(readlink /etc/resolv.conf)"
tq8_eq "reset: flush entry" "resolvectl flush-caches${RESET_TAB}0${RESET_TAB}${RESET_TAB}" \
    "$(printf '%s\n' "$summary" | grep '^resolvectl flush-caches')"

# --- with resolved stopped its stub file stays; the reset must not link to it ------------------
kill "$resolved_pid" && wait "$resolved_pid" 2>/dev/null || true
resolved_pid=
[ -e /run/systemd/resolve/stub-resolv.conf ] || echo "nameserver 127.0.0.53" >/run/systemd/resolve/stub-resolv.conf
summary=$(reset_run "$bin")
tq8_eq "resolved stopped: entry" "$RESET_E2B" "$(reset_entry "$summary" 2)"
[ ! -L /etc/resolv.conf ] || tq8_fail "resolved stopped: still a link to $(readlink /etc/resolv.conf)"
! grep -q 127.0.0.53 /etc/resolv.conf || tq8_fail "resolved stopped: the dead stub is named"
reset_has_fallback /etc/resolv.conf

echo "real resolved: all passed"
