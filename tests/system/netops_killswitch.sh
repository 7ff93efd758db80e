#!/bin/bash
# The kill switch against the real iptables: the chain and the jump as built, rebuilt and
# removed, and what it does to DNS queries sent through a tunnel-named and an ordinary link.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

tq8_run_sandboxed "$0" "$@"

tq8_scratch killswitch "" cleanup
peer="tq8peer$$"
cleanup() {
    [ -n "${udp_server_pid:-}" ] && kill "$udp_server_pid" 2>/dev/null || true
    ip netns del "$peer" 2>/dev/null || true
    rm -rf "$work"
}


chain_after_switch_on='-N TQ8_KILLSWITCH
-A TQ8_KILLSWITCH -o lo -j ACCEPT
-A TQ8_KILLSWITCH -d 127.0.0.0/8 -j ACCEPT
-A TQ8_KILLSWITCH -m conntrack --ctstate RELATED,ESTABLISHED -j ACCEPT
-A TQ8_KILLSWITCH -d 192.168.0.0/16 -j ACCEPT
-A TQ8_KILLSWITCH -d 10.0.0.0/8 -j ACCEPT
-A TQ8_KILLSWITCH -d 172.16.0.0/12 -j ACCEPT
-A TQ8_KILLSWITCH -p udp -m udp --dport 67:68 -j ACCEPT
-A TQ8_KILLSWITCH -d 185.117.82.0/23 -j ACCEPT
-A TQ8_KILLSWITCH -d 1.1.1.1/32 -j ACCEPT
-A TQ8_KILLSWITCH -d 1.0.0.1/32 -j ACCEPT
-A TQ8_KILLSWITCH -d 9.9.9.9/32 -j ACCEPT
-A TQ8_KILLSWITCH -d 149.112.112.112/32 -j ACCEPT
-A TQ8_KILLSWITCH -o tq8wg0 -j ACCEPT
-A TQ8_KILLSWITCH -o wg+ -j ACCEPT
-A TQ8_KILLSWITCH -p udp -m udp --dport 51820 -j ACCEPT
-A TQ8_KILLSWITCH -d 198.19.2.0/24 -j ACCEPT
-A TQ8_KILLSWITCH -d 198.19.8.8/32 -j ACCEPT
-A TQ8_KILLSWITCH -p udp -m udp --dport 53 -j REJECT --reject-with icmp-port-unreachable
-A TQ8_KILLSWITCH -p tcp -m tcp --dport 53 -j REJECT --reject-with icmp-port-unreachable'

# A rule of someone else's already in OUTPUT: the jump must go in front of it.
iptables -A OUTPUT -p icmp -j ACCEPT
output_with_jump='-P OUTPUT ACCEPT
-A OUTPUT -j TQ8_KILLSWITCH
-A OUTPUT -p icmp -j ACCEPT'

# --- build, rebuild, remove -------------------------------------------------------------------
for round in 1 2; do
    rec=$("$helper" killswitch --enable --split-ips ' 198.19.2.0/24, ,198.19.8.8,')
    tq8_eq "switch-on $round ok/enabled/entries" "True True 21" \
        "$(tq8_field "$rec" 'r["ok"], r["enabled"], len(r["logs"])' | tr -d '(),')"
    tq8_eq "switch-on $round chain" "$chain_after_switch_on" "$(iptables -S TQ8_KILLSWITCH)"
    tq8_eq "switch-on $round OUTPUT" "$output_with_jump" "$(iptables -S OUTPUT)"
done

rec=$("$helper" killswitch --disable)
tq8_eq "switch-off record" \
    '{"ok": true, "enabled": false, "logs": [{"cmd": "iptables -X TQ8_KILLSWITCH", "rc": 0, "stdout": "Kill Switch devre dışı bırakıldı.", "stderr": ""}]}' \
    "$rec"
iptables -S TQ8_KILLSWITCH >/dev/null 2>&1 && tq8_fail "chain still exists after switch-off"
tq8_eq "OUTPUT after switch-off" $'-P OUTPUT ACCEPT\n-A OUTPUT -p icmp -j ACCEPT' "$(iptables -S OUTPUT)"

# --- traffic ------------------------------------------------------------------------------------
# A peer namespace answers UDP on port 53 and 5353 at three addresses: 198.18.0.2 reached over
# an ordinary link, 198.19.1.53 routed through a link whose name begins with "wg", and
# 198.19.2.53, routed over the ordinary link but listed as a split-tunnel network.
ip netns add "$peer"
ip link add uplink0 type veth peer name peer0 netns "$peer"
ip link add wgtest0 type veth peer name peer1 netns "$peer"
ip address add 198.18.0.1/24 dev uplink0
ip address add 198.18.1.1/24 dev wgtest0
ip link set uplink0 up
ip link set wgtest0 up
ip route add 198.19.1.53/32 dev wgtest0
ip route add 198.19.2.53/32 via 198.18.0.2 dev uplink0
ip -n "$peer" link set lo up
ip -n "$peer" address add 198.18.0.2/24 dev peer0
ip -n "$peer" address add 198.18.1.2/24 dev peer1
ip -n "$peer" address add 198.19.1.53/32 dev lo
ip -n "$peer" address add 198.19.2.53/32 dev lo
ip -n "$peer" link set peer0 up
ip -n "$peer" link set peer1 up

tq8_udp_serve "$peer" 198.18.0.2 198.19.1.53 198.19.2.53


# Without the kill switch every query is answered.
for target in 198.18.0.2 198.19.1.53 198.19.2.53; do
    tq8_eq "no kill switch: $target:53" answered "$(tq8_udp_ask "$target" 53)"
done

"$helper" killswitch --enable --split-ips '198.19.2.0/24' >/dev/null
tq8_eq "ordinary link, port 53" refused "$(tq8_udp_ask 198.18.0.2 53)"
tq8_eq "ordinary link, other port" answered "$(tq8_udp_ask 198.18.0.2 5353)"
tq8_eq "wg-named link, port 53" answered "$(tq8_udp_ask 198.19.1.53 53)"
tq8_eq "split-tunnel network, port 53" answered "$(tq8_udp_ask 198.19.2.53 53)"

"$helper" killswitch --disable >/dev/null
tq8_eq "after switch-off, ordinary link, port 53" answered "$(tq8_udp_ask 198.18.0.2 53)"
echo "kill switch system test passed"
