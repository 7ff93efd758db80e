#!/bin/bash
# What the caller of the helper holds (its terminal, its standard input, the files it names)
# cannot hold the run lock or the DNS redirect: ^Z does not stop a run, ^\ ends it with the
# lock given back, files on a file system that never answers cost only the caller's own run,
# and the guard's clean-up is neither held behind a stuck holder nor takes a later guard's
# redirect.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

tq8_run_sandboxed "$0" "$@"

tq8_scratch caller-hold 1777 cleanup
source "$here/dns_lib.sh"
lock=/run/tq8-root-helper.lock
holder_pid=
fs_pid=
cleanup() {
    [ -n "$holder_pid" ] && kill "$holder_pid" 2>/dev/null
    [ -n "$fs_pid" ] && kill -KILL "$fs_pid" 2>/dev/null
    umount -l "$work/fs" 2>/dev/null || true
    dns_cleanup
}
unset PKEXEC_UID
echo "nameserver 127.0.0.53" >/etc/resolv.conf
cd "$work"  # where a core dump of the helper would land

lock_free() { flock -n "$lock" true; }
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }
# within LIMIT SECONDS WHAT: fails unless SECONDS <= LIMIT.
within() { awk -v l="$1" -v s="$2" 'BEGIN { exit !(s <= l) }' || tq8_fail "$3 took $2 s (bound $1 s)"; }

# An iptables whose chain creation takes 3 s: the kill switch run holds the lock meanwhile.
mkdir "$work/bin"
cat >"$work/bin/iptables" <<SH
#!/bin/sh
case "\$*" in *"-N TQ8_KILLSWITCH"*) sleep 3 ;; esac
exec $(command -v iptables) "\$@"
SH
chmod +x "$work/bin/iptables"
# Whatever is started while a guard runs must not hold the guard's input (fd 7) open too. As a
# background job of this script it would start with INT and QUIT ignored; a terminal user's
# job starts with every signal at its default.
slow_switch_on() {  # KEY_HEX: a kill switch run on a terminal, KEY typed at 1 s
    PATH="$work/bin:$PATH" env --default-signal "$py" "$here/pty_run.py" 1 "$1" 20 "$work/tty.out" \
        "$helper" killswitch --enable >"$work/tty.res" 7>&- &
    tty_pid=$!
    sleep 1.5
}

# --- ^Z: the run goes on; dns-off and a guard whose input closes are not held by it ----------
start_shield 0
start_guard
wait_for_ready
slow_switch_on 1a
lock_free && tq8_fail "^Z: the kill switch run should hold the lock"
exec 7>&-
t=$(now)
wait_guard 10
tq8_eq "^Z: guard status" 0 "$guard_rc"
tq8_eq "^Z: redirect gone" 0 "$(redirect_copies)"
echo "guard clean-up behind a running kill switch: $(since "$t") s"
t=$(now)
tq8_eq "^Z: dns-off" '{"ok": true}' "$(timeout 15 "$helper" dns-off)"
within 6 "$(since "$t")" "dns-off behind a ^Z'd run"
wait "$tty_pid"
read -r status secs state <"$work/tty.res"
[ "$state" != T ] || tq8_fail "^Z stopped the run"
tq8_eq "^Z: status" 0 "$status"
grep -q '{"ok": true, "enabled": true' "$work/tty.out" || tq8_fail "^Z: no record: $(cat "$work/tty.out")"

# --- ^\: the run ends as a failed run ends, lock given back, no core dump --------------------
slow_switch_on 1c
wait "$tty_pid"
read -r status secs state <"$work/tty.res"
tq8_eq "^\\: status" 1 "$status"
grep -q KeyboardInterrupt "$work/tty.out" || tq8_fail "^\\: no KeyboardInterrupt: $(cat "$work/tty.out")"
lock_free || tq8_fail "^\\: the lock is still held"
compgen -G "$work/core*" >/dev/null && tq8_fail "^\\: a core file was written"

# --- a hang-up of the terminal: the run finishes what it started, then ends ------------------
slow_switch_on hup
wait "$tty_pid"
read -r status secs state <"$work/tty.res"
# 1 for the interrupt, or 120 when the runtime cannot even write its traceback there; never
# minus a signal: nothing cut the run off half-way.
[ "$status" = 1 ] || [ "$status" = 120 ] || tq8_fail "hang-up: status $status"
tq8_eq "hang-up: the whole chain" 17 "$(iptables -S TQ8_KILLSWITCH | grep -c '^-A')"
tq8_eq "hang-up: the jump" 1 "$(iptables -S OUTPUT | grep -c 'TQ8_KILLSWITCH')"
lock_free || tq8_fail "hang-up: the lock is still held"

# --- the guard's clean-up behind a holder that never lets go ----------------------------------
start_guard
wait_for_ready
(exec 9>"$lock" 7>&- >/dev/null 2>&1; flock 9; exec sleep 60) &
holder_pid=$!
sleep 0.3
exec 7>&-
t=$(now)
wait_guard 10
cleanup_secs=$(since "$t")
tq8_eq "stuck holder: guard status" 0 "$guard_rc"
tq8_eq "stuck holder: redirect gone" 0 "$(redirect_copies)"
within 5 "$cleanup_secs" "the guard's clean-up behind a stuck holder"
echo "guard clean-up behind a stuck holder: $cleanup_secs s"
kill "$holder_pid"
wait "$holder_pid" 2>/dev/null || true
holder_pid=

# --- two guards: the one that ends first leaves the other's fresh redirect --------------------
start_guard
wait_for_ready
first_pid=$guard_pid
exec 6>&7 7>&-
start_guard 6>&-
wait_for_ready
tq8_eq "two guards: one copy" 1 "$(redirect_copies)"
second_pid=$guard_pid
guard_pid=$first_pid
exec 6>&-
wait_guard 5
tq8_eq "two guards: the first ends" 0 "$guard_rc"
tq8_eq "two guards: the second's redirect stays" 1 "$(redirect_copies)"
guard_pid=$second_pid
exec 7>&-
wait_guard 5
tq8_eq "two guards: the second removes its own" 0 "$(redirect_copies)"
stop_shield

# --- files the caller serves and never answers for --------------------------------------------
if [ -z "${TQ8_STALLING_FS:-}" ]; then
    [ -n "${CI:-}" ] && tq8_fail "no stalling file system built (libfuse3-dev missing)"
    echo "caller-hold: passed (file-system cases skipped: libfuse3-dev missing)"
    exit 0
fi
mkdir "$work/fs"
"$TQ8_STALLING_FS" "$work/fs" &
fs_pid=$!
for _ in $(seq 100); do mountpoint -q "$work/fs" && break; sleep 0.05; done
mountpoint -q "$work/fs" || tq8_fail "the stalling file system did not mount"

# --conf whose lookup never answers: the read is given up on, before and without the lock.
t=$(now)
timeout 30 "$helper" wireguard --conf "$work/fs/dead/stall" >"$work/wg.out" &
wg_pid=$!
sleep 2
lock_free || tq8_fail "--conf: the lock is held while the caller's file is read"
wait "$wg_pid" || tq8_fail "--conf: the run did not end"
conf_secs=$(since "$t")
within 10 "$conf_secs" "a run with a stalled --conf"
grep -q '^{"ok": ' "$work/wg.out" || tq8_fail "--conf: no record"
echo "run with a stalled --conf: $conf_secs s"

# A child stuck in the kernel survives SIGKILL: it is abandoned, the failure triple returned.
t=$(now)
out=$(timeout 20 "$py" -c 'import sys; sys.path[0] = sys.argv[1]; import tq8_root_helper as m
print(m.run_cmd(["cat", sys.argv[2]], 1)[:2])' "$TQ8_INSTALL_DIR" "$work/fs/dead/stall")
tq8_eq "abandoned child: result" "(1, '')" "$out"
within 4 "$(since "$t")" "a run_cmd whose child cannot die"

# Standard input whose flush never answers for the programs the helper starts: they never
# get it, so the run ends as usual.
out=$(timeout 30 "$helper" killswitch --disable <"$work/fs/hold-iptables") ||
    tq8_fail "stdin held for the children: the run did not end"
grep -q '^{"ok": true, "enabled": false' <<<"$out" || tq8_fail "stdin held for the children: $out"

# ... and never answers for the helper itself: only the caller's own run waits, before the lock.
timeout 30 "$helper" killswitch --disable <"$work/fs/hold-tq8_root_helper" >"$work/ks.out" &
ks_pid=$!
sleep 1.5
lock_free || tq8_fail "stdin held for the helper: the lock is held"
tq8_eq "stdin held for the helper: dns-off" '{"ok": true}' "$(timeout 10 "$helper" dns-off)"
kill -KILL "$fs_pid"
fs_pid=
wait "$ks_pid" || tq8_fail "stdin held for the helper: no end once the server is gone"
grep -q '^{"ok": true, "enabled": false' "$work/ks.out" || tq8_fail "stdin held for the helper: no record"

echo "caller-hold: all passed"
