#!/bin/bash
# Demonstration, not a test: in a throw-away sandbox, a demo shield answers on 127.0.0.1:5354,
# the installed dns-guard redirects the stub address to it, a query to 127.0.0.53 is answered
# by the shield, and the rule is gone once the guard's input closes.
# usage (root): TQ8_INSTALL_DIR=<staged install> scripts/dns_demo.sh
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib/sandbox.sh"

tq8_run_sandboxed "$0" "$@"

work=$(mktemp -d /tmp/tq8-dns-demo.XXXXXX)
source "$here/lib/guard_run.sh"
trap dns_cleanup EXIT

query() {
    "$py" - <<'PY'
import socket
q = b"\xbe\xef\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00\x02ad\x07example\x04test\x00\x00\x01\x00\x01"
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(2)
s.sendto(q, ("127.0.0.53", 53))
try:
    data, peer = s.recvfrom(512)
    print(f"  answer from {peer[0]}:{peer[1]}, {len(data)} octets, A {'.'.join(map(str, data[-4:]))}")
except OSError:
    print("  no answer (nothing listens on the stub address in this sandbox)")
PY
}

echo "nameserver 127.0.0.53" >/etc/resolv.conf
start_shield 0 --log "$work/queries"
echo "demo shield listening on 127.0.0.1:5354"
start_guard
wait_for_ready
echo "guard says: $(cat "$work/guard.out")"
echo "nat OUTPUT while the guard runs:"
iptables -t nat -S OUTPUT | sed 's/^/  /'
echo "query for ad.example.test to 127.0.0.53:53:"
query
echo "the shield saw: $(tr '\n' ' ' <"$work/queries")"
exec 7>&-
wait_guard 5
echo "input closed; guard ended with status $guard_rc"
echo "nat OUTPUT afterwards:"
iptables -t nat -S OUTPUT | sed 's/^/  /'
echo "the same query now:"
query
