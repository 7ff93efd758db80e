#!/usr/bin/env bash
# The tour's steps, run inside the sandbox by scripts/tour.sh: every action of the installed
# helper in a sensible order, each followed by the state it changed, then the launcher.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/scripts/lib/sandbox.sh"
source "$top/scripts/lib/wg_peer.sh"
tq8_in_sandbox

stage=$TQ8_STAGE
h="$stage/tq8_root_helper"
py=${TQ8_PYTHON:-python3.12}
work=$(mktemp -d /tmp/tq8-tour.XXXXXX)
peer_ns="tq8tourpeer$$"
trap 'wg_peer_stop "$peer_ns" "$work/peer"; rm -rf "$work"' EXIT

# Programs that would reach beyond the sandbox (the host's kernel modules, its init system and
# resolver daemon) are replaced by stand-ins that only say they were called.
mkdir -p "$work/bin"
for prog in modprobe resolvectl systemctl; do
    printf '#!/bin/sh\necho "(sandbox: %s $*: atlandı)" >&2\nexit 1\n' "$prog" >"$work/bin/$prog"
    chmod +x "$work/bin/$prog"
done
export PATH="$work/bin:/usr/sbin:/usr/bin:/sbin:/bin"

title() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
show() {
    printf '\n$ tq8_root_helper %s\n' "$*"
    local rc=0
    "$h" "$@" || rc=$?
    echo "(exit status $rc)"
}
state() { printf '  # %s\n' "$1"; shift; "$@" 2>&1 | sed 's/^/  /'; }

title "Sandbox: a private network (a veth pair with a default route) and a private /etc and /run"
ip link add tq8demo0 type veth peer name tq8demo1
ip address add 198.18.0.1/24 dev tq8demo0
ip link set tq8demo0 up
ip link set tq8demo1 up
ip route add default via 198.18.0.2 dev tq8demo0
state "ip -o -4 route show to default" ip -o -4 route show to default

title "Help"
show --help

title "mtu: interface MTU within 1280..1500, and the MSS clamp rule once"
show mtu --iface tq8demo0 --mtu 1400
state "MTU of tq8demo0" bash -c "ip -o link show tq8demo0 | grep -o 'mtu [0-9]*'"
state "iptables -t mangle -S POSTROUTING" iptables -t mangle -S POSTROUTING

title "killswitch --enable: DNS only through the tunnel, with one split-tunnel network"
show killswitch --enable --split-ips "198.18.7.0/24"
state "iptables -S OUTPUT" iptables -S OUTPUT
state "iptables -S TQ8_KILLSWITCH" iptables -S TQ8_KILLSWITCH

title "wireguard up: this kernel has no WireGuard link type, so the bare link fails honestly"
show wireguard --wg-action up --mtu 1380
state "the default-route device still gets the tunnel's MTU" \
    bash -c "ip -o link show tq8demo0 | grep -o 'mtu [0-9]*'"
show wireguard --wg-action down

title "wireguard up --conf: a real tunnel, wg-quick over wireguard-go, to a peer in a second namespace"
mkdir -p "$work/peer"
wg_peer_start "$peer_ns" "$work/peer" tq8uplink0
# The caller's own file, named as the caller likes; the tunnel is tq8wg0 all the same.
cp "$work/peer/client.conf" "$work/vpn0.conf"
chmod 600 "$work/vpn0.conf"
export WG_QUICK_USERSPACE_IMPLEMENTATION=wireguard-go
show wireguard --wg-action up --conf "$work/vpn0.conf"
state "wg show tq8wg0" wg show tq8wg0
state "ping through the tunnel" "$py" "$work/peer/ping.py" 198.51.100.1
state "wg show tq8wg0 latest-handshakes" wg show tq8wg0 latest-handshakes
state "kill switch still on: DNS to the server over the veth (198.18.9.2)" \
    "$py" "$work/peer/query.py" 198.18.9.2
state "kill switch still on: DNS through the tunnel (198.51.100.1)" \
    "$py" "$work/peer/query.py" 198.51.100.1
printf '%s\n' "[Interface]" "PostUp = touch $work/hook-ran" >"$work/hostile.conf"
show wireguard --wg-action up --conf "$work/hostile.conf"
state "did the hook run?" bash -c "[ -e '$work/hook-ran' ] && echo yes || echo no"
show wireguard --wg-action up --conf "$work/vpn0.conf"
show wireguard --wg-action down
state "links after down" bash -c "ip -o link show | awk '{print \$2}'"

title "killswitch --disable"
show killswitch --disable
state "iptables -S OUTPUT" iptables -S OUTPUT
state "iptables -S TQ8_KILLSWITCH" bash -c 'iptables -S TQ8_KILLSWITCH 2>/dev/null || echo "(no such chain)"'

title "dns-guard: the stub address redirected to a demo shield while the application lives"
echo "nameserver 127.0.0.53" >/etc/resolv.conf
TQ8_INSTALL_DIR="$stage" TQ8_PYTHON="$py" bash "$top/scripts/dns_demo.sh" | sed 's/^/  /'

title "dns-off: removes every copy of the redirect (here two left by killed guards)"
for _ in 1 2; do
    iptables -w 5 -t nat -I OUTPUT -p udp -d 127.0.0.53 --dport 53 -j DNAT --to-destination 127.0.0.1:5354
done
state "iptables -t nat -S OUTPUT" iptables -t nat -S OUTPUT
show dns-off
state "iptables -t nat -S OUTPUT" iptables -t nat -S OUTPUT

title "reset-network: everything the other actions may have left, gone in one run"
"$h" killswitch --enable >/dev/null
"$h" mtu --iface tq8demo0 --mtu 1300 >/dev/null
iptables -w 5 -t nat -I OUTPUT -p udp -d 127.0.0.53 --dport 53 -j DNAT --to-destination 127.0.0.1:5354
ip link add tq8wg0 type veth peer name tq8wg0peer
mkdir -p /run/systemd/resolve
echo "nameserver 127.0.0.53" >/run/systemd/resolve/stub-resolv.conf
# The reset links to the stub only while something serves it on 127.0.0.53:53.
"$py" -c 'import socket, time; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.53", 53)); time.sleep(600)' &
stub_pid=$!
sleep 0.3
echo "nameserver 192.0.2.1" >/etc/resolv.conf
echo "  before: kill switch on, MSS clamp rule, a redirect, a tq8wg0 link, tq8demo0 at MTU 1300,"
echo "          and /etc/resolv.conf a plain file"
show reset-network
state "iptables-save (filter, nat, mangle)" bash -c "iptables-save | grep -v '^#'"
state "links" bash -c "ip -o link show | awk '{print \$2, \$4, \$5}'"
state "/etc/resolv.conf" ls -l /etc/resolv.conf
kill "$stub_pid"

title "launcher: starting an application module from its install directory"
app_dir="$work/app"
mkdir -p "$app_dir"
cp "$stage/launcher" "$app_dir/"
cp "$top/examples/app.py" "$app_dir/"
printf "\n$ launcher --çıkış-kodu 3 merhaba dünya\n"
rc=0
"$app_dir/launcher" --çıkış-kodu 3 merhaba dünya || rc=$?
echo "(exit status $rc)"

title "Tour finished: the sandbox and everything in it are thrown away now"
