# A real WireGuard peer for tests and the tour: a server namespace a veth away with a
# wireguard-go interface and a small DNS responder, plus the client's configuration text.
# Underlay 198.18.9.0/24 (client 198.18.9.1, server 198.18.9.2); tunnel TEST-NET-2
# (client 198.51.100.2, server 198.51.100.1), which the kill switch does not exempt, so only its
# tunnel rule lets DNS to the server's tunnel address pass. Needs wg, wireguard-go, /dev/net/tun.

# wg_peer_start NETNS WORK UPLINK: makes the namespace and the veth (UPLINK on this side; the
# endpoint is on its subnet, so no route is added), starts the peer and the responder (their pids in WORK/pids), and writes
# WORK/ping.py, WORK/query.py and the client configuration WORK/client.conf.
wg_peer_start() {
    local ns=$1 work=$2 uplink=$3 py=${TQ8_PYTHON:-python3.12}
    ip netns add "$ns"
    ip link add "$uplink" type veth peer name srv0 netns "$ns"
    ip address add 198.18.9.1/24 dev "$uplink"
    ip link set "$uplink" up
    ip -n "$ns" link set lo up
    ip -n "$ns" address add 198.18.9.2/24 dev srv0
    ip -n "$ns" link set srv0 up

    (umask 077
     wg genkey >"$work/srv.key"
     wg genkey >"$work/cli.key")
    wg pubkey <"$work/srv.key" >"$work/srv.pub"
    wg pubkey <"$work/cli.key" >"$work/cli.pub"
    ip netns exec "$ns" wireguard-go wgsrv0 >/dev/null 2>&1
    ip netns exec "$ns" wg set wgsrv0 listen-port 51820 private-key "$work/srv.key" \
        peer "$(cat "$work/cli.pub")" allowed-ips 198.51.100.2/32
    ip -n "$ns" address add 198.51.100.1/24 dev wgsrv0
    ip -n "$ns" link set wgsrv0 up

    cat >"$work/dns.py" <<'PY'
import selectors, socket, sys
sel = selectors.DefaultSelector()
for addr in sys.argv[1:]:
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((addr, 53))
    sel.register(s, selectors.EVENT_READ)
print("ready", flush=True)
while True:
    for key, _ in sel.select():
        data, peer = key.fileobj.recvfrom(512)
        key.fileobj.sendto(data[:2] + b"\x81\x80" + data[4:], peer)
PY
    cat >"$work/query.py" <<'PY'
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(3)
s.connect((sys.argv[1], 53))
q = b"\x4a\x11\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00\x03tq8\x04test\x00\x00\x01\x00\x01"
try:
    try:
        s.send(q)
    except PermissionError:
        pass  # rejected in OUTPUT; the REJECT's port unreachable follows on recv
    print("answered" if s.recv(512)[:2] == q[:2] else "garbled")
except ConnectionRefusedError:
    print("refused")
except socket.timeout:
    print("timeout")
PY
    # An ICMP echo without depending on ping being installed: a raw socket, one request.
    cat >"$work/ping.py" <<'PY'
import os, socket, struct, sys
def csum(b):
    s = sum(struct.unpack("!%dH" % (len(b) // 2), b))
    s = (s >> 16) + (s & 0xFFFF)
    return ~(s + (s >> 16)) & 0xFFFF
s = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
s.settimeout(3)
ident = os.getpid() & 0xFFFF
body = struct.pack("!BBHHH", 8, 0, 0, ident, 1) + b"tq8-ping"
s.sendto(body[:2] + struct.pack("!H", csum(body)) + body[4:], (sys.argv[1], 0))
try:
    while True:
        data, _ = s.recvfrom(1500)
        icmp = data[(data[0] & 0x0F) * 4:]
        if icmp[0] == 0 and struct.unpack("!H", icmp[4:6])[0] == ident:
            print("echo reply from", sys.argv[1])
            sys.exit(0)
except socket.timeout:
    print("no echo reply from", sys.argv[1])
    sys.exit(1)
PY
    ip netns exec "$ns" "$py" "$work/dns.py" 198.18.9.2 198.51.100.1 >"$work/dns.out" 2>&1 &
    echo $! >"$work/pids"
    local _
    for _ in $(seq 50); do grep -q ready "$work/dns.out" 2>/dev/null && break; sleep 0.1; done
    grep -q ready "$work/dns.out" || { echo "DNS responder did not start: $(cat "$work/dns.out")" >&2; return 1; }

    cat >"$work/client.conf" <<CONF
[Interface]
PrivateKey = $(cat "$work/cli.key")
Address = 198.51.100.2/24

[Peer]
PublicKey = $(cat "$work/srv.pub")
Endpoint = 198.18.9.2:51820
AllowedIPs = 198.51.100.0/24
CONF
}

# wg_peer_stop NETNS WORK: ends what wg_peer_start started.
wg_peer_stop() {
    [ -f "$2/pids" ] && xargs -r kill <"$2/pids" 2>/dev/null
    ip netns pids "$1" 2>/dev/null | xargs -r kill 2>/dev/null
    ip netns del "$1" 2>/dev/null
    return 0
}
