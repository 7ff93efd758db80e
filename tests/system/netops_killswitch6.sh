#!/bin/bash
# The kill switch's IPv6 half against the real ip6tables: the chain and its jump as built and
# removed (switch-off, reset, piled-up jumps), and DNS queries over IPv6 to a responder in a peer
# namespace: answered before, rejected while the switch is on unless they leave through a
# wg-named link or go to a unique-local or split-tunnel address, answered again afterwards.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

tq8_run_sandboxed "$0" "$@"

tq8_scratch killswitch6 "" cleanup
peer="tq8peer6$$"
cleanup() {
    [ -n "${udp_server_pid:-}" ] && kill "$udp_server_pid" 2>/dev/null || true
    ip netns del "$peer" 2>/dev/null || true
    rm -rf "$work"
}


chain6_after_switch_on='-N TQ8_KILLSWITCH
-A TQ8_KILLSWITCH -o lo -j ACCEPT
-A TQ8_KILLSWITCH -d ::1/128 -j ACCEPT
-A TQ8_KILLSWITCH -m conntrack --ctstate RELATED,ESTABLISHED -j ACCEPT
-A TQ8_KILLSWITCH -d fc00::/7 -j ACCEPT
-A TQ8_KILLSWITCH -d fe80::/10 -j ACCEPT
-A TQ8_KILLSWITCH -p udp -m udp --dport 546:547 -j ACCEPT
-A TQ8_KILLSWITCH -d 2606:4700:4700::1111/128 -j ACCEPT
-A TQ8_KILLSWITCH -d 2606:4700:4700::1001/128 -j ACCEPT
-A TQ8_KILLSWITCH -d 2620:fe::fe/128 -j ACCEPT
-A TQ8_KILLSWITCH -d 2620:fe::9/128 -j ACCEPT
-A TQ8_KILLSWITCH -o tq8wg0 -j ACCEPT
-A TQ8_KILLSWITCH -o wg+ -j ACCEPT
-A TQ8_KILLSWITCH -p udp -m udp --dport 51820 -j ACCEPT
-A TQ8_KILLSWITCH -d 2001:db8:77::/48 -j ACCEPT
-A TQ8_KILLSWITCH -p udp -m udp --dport 53 -j REJECT --reject-with icmp6-port-unreachable
-A TQ8_KILLSWITCH -p tcp -m tcp --dport 53 -j REJECT --reject-with icmp6-port-unreachable'

ip6tables -A OUTPUT -p ipv6-icmp -j ACCEPT
output6_with_jump='-P OUTPUT ACCEPT
-A OUTPUT -j TQ8_KILLSWITCH
-A OUTPUT -p ipv6-icmp -j ACCEPT'
output6_without=$'-P OUTPUT ACCEPT\n-A OUTPUT -p ipv6-icmp -j ACCEPT'

assert_v6_absent() {
    ip6tables -S TQ8_KILLSWITCH >/dev/null 2>&1 && tq8_fail "$1: IPv6 chain still exists"
    tq8_eq "$1: IPv6 OUTPUT" "$output6_without" "$(ip6tables -S OUTPUT)"
}

# --- the peer: 2001:db8:1::2 over an ordinary link, 2001:db8:53::53 routed through a link whose
# name begins with "wg", and over the ordinary link 2001:db8:77::53 (listed as a split-tunnel
# network) and fd53::53 (unique-local). Addresses without duplicate detection: usable at once.
ip netns add "$peer"
ip link add uplink0 type veth peer name peer0 netns "$peer"
ip link add wgtest0 type veth peer name peer1 netns "$peer"
ip address add 2001:db8:1::1/64 dev uplink0 nodad
ip address add 2001:db8:2::1/64 dev wgtest0 nodad
ip link set uplink0 up
ip link set wgtest0 up
ip route add 2001:db8:53::53/128 via 2001:db8:2::2 dev wgtest0
ip route add 2001:db8:77::53/128 via 2001:db8:1::2 dev uplink0
ip route add fd53::53/128 via 2001:db8:1::2 dev uplink0
ip -n "$peer" link set lo up
ip -n "$peer" address add 2001:db8:1::2/64 dev peer0 nodad
ip -n "$peer" address add 2001:db8:2::2/64 dev peer1 nodad
for a in 2001:db8:53::53 2001:db8:77::53 fd53::53; do ip -n "$peer" address add "$a/128" dev lo; done
ip -n "$peer" link set peer0 up
ip -n "$peer" link set peer1 up

tq8_udp_serve "$peer" 2001:db8:1::2 2001:db8:53::53 2001:db8:77::53 fd53::53

targets=(2001:db8:1::2 2001:db8:53::53 2001:db8:77::53 fd53::53)

# Positive control: without the kill switch every query is answered.
for t in "${targets[@]}"; do tq8_eq "no kill switch: [$t]:53" answered "$(tq8_udp_ask "$t" 53)"; done

# --- switch-on: the record is the IPv4 one, the IPv6 chain is built ----------------------------
for round in 1 2; do
    rec=$("$helper" killswitch --enable --split-ips '2001:db8:77::/48')
    # The IPv6 entry also got its (failing) IPv4 rule; nothing of ip6tables is in the record.
    tq8_eq "switch-on $round ok/enabled/entries/ip6tables entries/failing entry" \
        "True True 20 0 2" \
        "$(tq8_field "$rec" 'r["ok"], r["enabled"], len(r["logs"]), sum("ip6tables" in e["cmd"] for e in r["logs"]), r["logs"][16]["rc"]' | tr -d '(),')"
    tq8_eq "switch-on $round IPv6 chain" "$chain6_after_switch_on" "$(ip6tables -S TQ8_KILLSWITCH)"
    tq8_eq "switch-on $round IPv6 OUTPUT" "$output6_with_jump" "$(ip6tables -S OUTPUT)"
done

tq8_eq "ordinary link, port 53" refused "$(tq8_udp_ask 2001:db8:1::2 53)"
tq8_eq "ordinary link, other port" answered "$(tq8_udp_ask 2001:db8:1::2 5353)"
tq8_eq "wg-named link, port 53" answered "$(tq8_udp_ask 2001:db8:53::53 53)"
tq8_eq "split-tunnel network, port 53" answered "$(tq8_udp_ask 2001:db8:77::53 53)"
tq8_eq "unique-local address, port 53" answered "$(tq8_udp_ask fd53::53 53)"

# --- switch-off, with jumps piled up by interleaved runs ---------------------------------------
ip6tables -I OUTPUT 1 -j TQ8_KILLSWITCH
ip6tables -I OUTPUT 1 -j TQ8_KILLSWITCH
"$helper" killswitch --disable >/dev/null
assert_v6_absent "switch-off"
tq8_eq "after switch-off, ordinary link, port 53" answered "$(tq8_udp_ask 2001:db8:1::2 53)"

# --- the reset removes it too ------------------------------------------------------------------
"$helper" killswitch --enable >/dev/null
tq8_eq "on again, ordinary link, port 53" refused "$(tq8_udp_ask 2001:db8:1::2 53)"
rec=$("$helper" reset-network)
tq8_eq "reset ok" True "$(tq8_field "$rec" 'r["ok"]')"
assert_v6_absent "reset"
iptables -S TQ8_KILLSWITCH >/dev/null 2>&1 && tq8_fail "reset: IPv4 chain still exists"
tq8_eq "after reset, ordinary link, port 53" answered "$(tq8_udp_ask 2001:db8:1::2 53)"

# --- no IPv6 in the kernel's firewall: the IPv4 record is untouched ----------------------------
mkdir "$work/bin"
printf '#!/bin/sh\necho "ip6tables: Address family not supported by protocol" >&2\nexit 3\n' >"$work/bin/ip6tables"
chmod +x "$work/bin/ip6tables"
rec=$(PATH="$work/bin:$PATH" "$helper" killswitch --enable)
tq8_eq "without ip6tables: ok/entries" "True 19" "$(tq8_field "$rec" 'r["ok"], len(r["logs"])' | tr -d '(),')"
"$helper" killswitch --disable >/dev/null
echo "IPv6 kill switch system test passed"
