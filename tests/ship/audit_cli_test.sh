#!/usr/bin/env bash
# The audit trail end to end: the installed command's lines reach the system log socket, one
# per system-changing command and two for the guard, with stdout and the status unchanged; and
# without a log socket nothing changes at all. Runs in a private mount namespace whose /dev/log
# is a socket of ours, so the host's log never sees these lines.
set -euo pipefail
source "$(dirname "$0")/../system/lib.sh"

if [ -z "${TQ8_AUDIT_NS:-}" ]; then
    tq8_require_root
    exec unshare -m --propagation private -- env TQ8_AUDIT_NS=1 bash "$0"
fi

tq8_scratch audit "" cleanup
listener=
cleanup() {
    [ -n "$listener" ] && kill "$listener" 2>/dev/null
    umount -l /dev 2>/dev/null || true
    umount -l "$work/host-dev" 2>/dev/null || true
    rm -rf "$work"
}

# A /dev of our own with the few devices a run needs, and a private /run for the run lock.
mkdir "$work/host-dev"
mount --rbind /dev "$work/host-dev"
mount -t tmpfs tq8-dev /dev
for d in null zero random urandom; do
    touch "/dev/$d"
    mount --bind "$work/host-dev/$d" "/dev/$d"
done
mount -t tmpfs tq8-run /run

"$py" - "$work/log" <<'PY' &
import os, socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind("/dev/log")
open(sys.argv[1] + ".ready", "w").close()
with open(sys.argv[1], "ab", buffering=0) as f:
    while True:
        f.write(s.recv(65536).rstrip(b"\n") + b"\n")
PY
listener=$!
for _ in $(seq 100); do [ -e "$work/log.ready" ] && break; sleep 0.05; done
[ -e "$work/log.ready" ] || tq8_fail "log listener did not start"

mkdir "$work/bin"
printf '#!/bin/sh\nexit 0\n' >"$work/bin/ip"
# The clamp rule is missing: the check fails and the add runs.
printf '#!/bin/sh\n[ "$3" = -C ] && exit 1\nexit 0\n' >"$work/bin/iptables"
cp "$work/bin/ip" "$work/bin/ip6tables"
chmod +x "$work/bin/ip" "$work/bin/iptables" "$work/bin/ip6tables"

run() { env -i PATH="$work/bin" PKEXEC_UID=1000 "$helper" "$@"; }
lines() { sleep 0.3; grep -c "$1" "$work/log" || true; }

out=$(run mtu --iface eth9 --mtu 1400)
tq8_eq "mtu's JSON line" \
    '{"ok": true, "mtu": 1400, "interface": "eth9", "logs": [{"cmd": "ip link set dev eth9 mtu 1400", "rc": 0, "stdout": "", "stderr": ""}, {"cmd": "iptables MSS clamp-to-pmtu", "rc": 0, "stdout": "", "stderr": ""}]}' \
    "$out"
tq8_eq "audit lines of mtu" 2 "$(lines 'action=mtu ')"
grep -q 'tq8_root_helper\[[0-9]*\]: action=mtu user=1000 rc=0 ms=[0-9]* cmd=ip link set dev eth9 mtu 1400$' "$work/log" ||
    tq8_fail "no line for the ip command: $(cat "$work/log")"
grep -q 'action=mtu user=1000 rc=0 ms=[0-9]* cmd=iptables -t mangle -A POSTROUTING' "$work/log" ||
    tq8_fail "no line for the clamp rule: $(cat "$work/log")"
grep -q -- '-C POSTROUTING' "$work/log" && tq8_fail "the check only looks and must not be logged"

# A refused configuration leaves a line naming the file and the reason (whichever applies to
# uid 1000 here: the hook, or a user this machine does not know).
printf '#!/bin/sh\nexit 0\n' >"$work/bin/wg-quick"
chmod +x "$work/bin/wg-quick"
chmod 755 "$work"
printf '[Interface]\nPostUp = id\n' >"$work/hook.conf"
run wireguard --conf "$work/hook.conf" >/dev/null
sleep 0.3
grep -q "action=wireguard user=1000 refused conf=$work/hook.conf: Yapılandırma" "$work/log" ||
    tq8_fail "no line for the refusal: $(cat "$work/log")"

# The kill switch's IPv6 half is not in the record but is in the trail, line for line.
ks_out=$(run killswitch --enable --split-ips 2001:db8::/32)
tq8_eq "killswitch's record entries" 20 "$("$py" -c 'import json, sys; print(len(json.loads(sys.argv[1])["logs"]))' "$ks_out")"
tq8_eq "audit lines of the IPv6 half" 21 "$(lines 'action=killswitch user=1000 rc=0 ms=[0-9]* cmd=ip6tables ')"
grep -q 'action=killswitch user=1000 rc=0 ms=[0-9]* cmd=ip6tables -A TQ8_KILLSWITCH -d 2001:db8::/32 -j ACCEPT$' "$work/log" ||
    tq8_fail "no line for the IPv6 split-tunnel rule: $(cat "$work/log")"

# The guard cannot start here (no shield on this machine's loopback, or no stub in the host's
# resolver file): it still leaves its start and its end.
rc=0
run dns-guard </dev/null >/dev/null || rc=$?
case $rc in 3|5) ;; *) tq8_fail "dns-guard ended with $rc" ;; esac
tq8_eq "guard notes" 2 "$(lines 'action=dns-guard user=1000 ')"
grep -q "action=dns-guard user=1000 başlamadı: sonuç $rc" "$work/log" || tq8_fail "no end note: $(cat "$work/log")"

# No log socket: same output, same status, nothing on stderr.
kill "$listener"; wait "$listener" 2>/dev/null || true; listener=
rm -f /dev/log
err=$(run mtu --iface eth9 --mtu 1400 2>&1 >"$work/out2")
tq8_eq "JSON line without a log socket" "$out" "$(cat "$work/out2")"
tq8_eq "stderr without a log socket" "" "$err"
echo "audit trail: ok"
