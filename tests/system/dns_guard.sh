#!/bin/bash
# The installed command's dns-guard end to end with the real iptables and a fake shield: the
# redirect really carries stub queries to the shield while the guard runs, and every way the
# guard ends takes it away again.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

tq8_run_sandboxed "$0" "$@"

tq8_scratch dns-guard 1777 dns_cleanup
source "$here/dns_lib.sh"
export PKEXEC_UID=1000

# --- refusals before anything is installed ----------------------------------------------------
rm -f /etc/resolv.conf
out=$("$helper" dns-guard </dev/null) && rc=0 || rc=$?
tq8_eq "no resolver file: status" 3 "$rc"
tq8_eq "no resolver file: line" \
    "HATA: Bu sistem systemd-resolved (127.0.0.53) kullanmıyor; DNS sipranı bu dağıtımda desteklenmiyor." "$out"

echo "nameserver 127.0.0.53" >/etc/resolv.conf
add_redirect_copies 2  # left by killed guards: with no shield they send DNS to a dead port
out=$("$helper" dns-guard </dev/null) && rc=0 || rc=$?
tq8_eq "no shield: status" 5 "$rc"
tq8_eq "no shield: line" "HATA: Sipran DNS çözümleyicisi (127.0.0.1:5354) çalışmıyor." "$out"
tq8_eq "no shield: stale rules removed" 0 "$(redirect_copies)"

start_shield 1000 --log "$work/queries"

# --- the redirect at work, then the input closed ----------------------------------------------
start_guard
wait_for_ready
tq8_eq "running: one copy of the rule" 1 "$(redirect_copies)"
tq8_eq "running: the stub's answer comes from the shield" "127.0.0.53 True" \
    "$(tq8_ask_stub stub.example.test)"
grep -qx stub.example.test "$work/queries" || tq8_fail "the query did not reach the shield"
echo ping >&7  # a line leads to a health check; the guard keeps running
sleep 0.3
kill -0 "$guard_pid" || tq8_fail "the guard ended on a line of input"
exec 7>&-
wait_guard 3
tq8_eq "input closed: status" 0 "$guard_rc"
tq8_eq "input closed: output" HAZIR "$(cat "$work/guard.out")"
tq8_eq "input closed: rule gone" 0 "$(redirect_copies)"
tq8_eq "input closed: stub no longer redirected" "no-reply" "$(tq8_ask_stub gone.example.test | cut -d' ' -f1)"

# --- /dev/null as input ends right after the ready line ----------------------------------------
out=$(timeout 4 "$helper" dns-guard </dev/null) && rc=0 || rc=$?
tq8_eq "/dev/null input: status" 0 "$rc"
tq8_eq "/dev/null input: output" HAZIR "$out"
tq8_eq "/dev/null input: rule gone" 0 "$(redirect_copies)"

# --- a killed guard's rule is replaced by exactly one copy -------------------------------------
start_guard
wait_for_ready
kill -KILL "$guard_pid"
wait "$guard_pid" 2>/dev/null || true
exec 7>&-
add_redirect_copies 2  # and two more from earlier crashes
tq8_eq "killed guards: copies left" 3 "$(redirect_copies)"
start_guard
wait_for_ready
tq8_eq "new guard: exactly one copy" 1 "$(redirect_copies)"
exec 7>&-
wait_guard 3
tq8_eq "new guard: rule gone at the end" 0 "$(redirect_copies)"

# --- every signal that would end it takes the rule away and ends with 128 + signal --------------
for sig in TERM HUP INT QUIT USR1 USR2 ALRM; do
    start_guard
    wait_for_ready
    kill -s "$sig" "$guard_pid"
    wait_guard 5
    tq8_eq "SIG$sig: status" $((128 + $(kill -l "$sig"))) "$guard_rc"
    tq8_eq "SIG$sig: rule gone" 0 "$(redirect_copies)"
    exec 7>&-
done

# --- a reader that leaves a full pipe unread counts as gone --------------------------------------
rm -f "$work/out.fifo" && mkfifo "$work/out.fifo"
exec 8<>"$work/out.fifo"  # we hold the reading end and never read
timeout 2 dd if=/dev/zero of="$work/out.fifo" bs=4096 2>/dev/null || true  # until it is full
rm -f "$work/guard.in" && mkfifo "$work/guard.in"
env --default-signal "$helper" dns-guard <"$work/guard.in" >"$work/out.fifo" 2>"$work/guard.err" &
guard_pid=$!
exec 7>"$work/guard.in"
wait_guard 8
tq8_eq "full output pipe: status" 0 "$guard_rc"
tq8_eq "full output pipe: rule gone" 0 "$(redirect_copies)"
exec 7>&- 8<&-

# --- input that never stops costs about one check a second, not a probe per read --------------
before=$(wc -l <"$work/queries")
timeout --preserve-status -s TERM 3 "$helper" dns-guard </dev/zero >/dev/null && rc=0 || rc=$?
probes=$(($(wc -l <"$work/queries") - before))
tq8_eq "flood of input: ended by the signal" 143 "$rc"
[ "$probes" -ge 2 ] && [ "$probes" -le 5 ] || tq8_fail "flood of input: $probes probes in 3 s"
tq8_eq "flood of input: rule gone" 0 "$(redirect_copies)"

# --- a shield stopped for good: two failed checks end the guard within about 13 s --------------
start_guard
wait_for_ready
kill -STOP "$shield_pid"
wait_guard 16
tq8_eq "shield stopped: status" 0 "$guard_rc"
tq8_eq "shield stopped: rule gone" 0 "$(redirect_copies)"
exec 7>&-

echo "dns guard: all passed"
