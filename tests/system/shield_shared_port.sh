#!/bin/bash
# Another local user on the shield's port: with SO_REUSEADDR on both sockets Linux gives the
# queries to the last one bound, so the guard must neither start nor keep its redirect beside
# such a socket. Without SO_REUSEADDR on the shield the second bind fails (the control).
set -euo pipefail
source "$(dirname "$0")/lib.sh"

tq8_run_sandboxed "$0" "$@"

tq8_scratch shared-port 1777 cleanup
source "$here/dns_lib.sh"
intruder_pid=
cleanup() {
    [ -n "$intruder_pid" ] && kill "$intruder_pid" 2>/dev/null || true
    dns_cleanup
}
export PKEXEC_UID=1000
echo "nameserver 127.0.0.53" >/etc/resolv.conf

# intrude ADDR: user 65534 binds ADDR:5354 with SO_REUSEADDR and holds it (sets intruder_pid);
# $work/intruder then says "bound" or names the bind's error.
intrude() {
    rm -f "$work/intruder"
    setpriv --reuid 65534 --regid 65534 --clear-groups /usr/bin/python3 -c '
import socket, sys, time
fam = socket.AF_INET6 if ":" in sys.argv[1] else socket.AF_INET
s = socket.socket(fam, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
try:
    s.bind((sys.argv[1], 5354))
    msg = "bound"
except OSError as e:
    msg = type(e).__name__
open(sys.argv[2], "w").write(msg)
if msg == "bound":
    time.sleep(60)' "$1" "$work/intruder" </dev/null >/dev/null 2>&1 &
    intruder_pid=$!
    for _ in $(seq 100); do [ -s "$work/intruder" ] && break; sleep 0.05; done
}
leave() { kill "$intruder_pid" 2>/dev/null || true; wait "$intruder_pid" 2>/dev/null || true; intruder_pid=; }

# The control: a shield without SO_REUSEADDR keeps its port to itself.
start_shield 1000
intrude 127.0.0.1
tq8_eq "plain shield: a second user's bind" OSError "$(cat "$work/intruder")"
leave
stop_shield

# Beside a SO_REUSEADDR shield the second user's socket binds, on the shield's own address, on
# the IPv4 wildcard or on the IPv4-mapped IPv6 address; the guard then refuses to start.
for addr in 127.0.0.1 0.0.0.0 ::ffff:127.0.0.1; do
    start_shield 1000 --reuse
    intrude "$addr"
    tq8_eq "reuse shield, $addr: a second user's bind" bound "$(cat "$work/intruder")"
    out=$("$helper" dns-guard </dev/null) && rc=0 || rc=$?
    tq8_eq "foreign socket on $addr: guard status" 5 "$rc"
    tq8_eq "foreign socket on $addr: no redirect" 0 "$(redirect_copies)"
    leave
    stop_shield
done

# A running guard whose shield gains such a neighbour ends within its checks and cleans up.
start_shield 1000 --reuse
start_guard
wait_for_ready
tq8_eq "guard running: one redirect" 1 "$(redirect_copies)"
intrude 127.0.0.1
tq8_eq "running guard: a second user's bind" bound "$(cat "$work/intruder")"
wait_guard 15
tq8_eq "guard beside a foreign socket: status" 0 "$guard_rc"
tq8_eq "guard beside a foreign socket: redirect removed" 0 "$(redirect_copies)"

echo "shield shared port: all passed"
