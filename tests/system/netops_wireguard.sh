#!/bin/bash
# The WireGuard tunnel's bare path against the real ip: the link as the kernel allows it, and
# the default-route device given the tunnel's MTU either way.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

tq8_run_sandboxed "$0" "$@"

link_mtu() { ip -o link show "$1" | sed -n 's/.* mtu \([0-9]*\) .*/\1/p'; }

# The physical device: a veth carrying the default route.
ip link add uplink0 type veth peer name uplink1
ip address add 198.18.5.1/24 dev uplink0
ip link set uplink0 up
ip link set uplink1 up
ip route add default via 198.18.5.2 dev uplink0

# Whether this kernel can build a WireGuard link decides what "ok" and "active" must say.
if ip link add tq8probe type wireguard 2>/dev/null; then
    ip link del tq8probe
    expect_up="True True"
else
    expect_up="False False"
fi

# No configuration: wg-quick is never looked for, the bare path runs.
rec=$("$helper" wireguard --wg-action up --mtu 1400)
tq8_eq "bare up ok/active" "$expect_up" "$(tq8_field "$rec" 'r["ok"], r["active"]' | tr -d '(),')"
tq8_eq "bare up keys" "ok active interface mtu logs" "$(tq8_field "$rec" '" ".join(r)')"
tq8_eq "bare up interface/mtu" "tq8wg0 1400" "$(tq8_field "$rec" 'r["interface"], r["mtu"]' | tr -d "(),'")"
tq8_eq "bare up log commands" \
    "ip link add dev tq8wg0 type wireguard|ip address add 10.54.0.2/24 dev tq8wg0|ip link set mtu 1400 up dev tq8wg0" \
    "$(tq8_field "$rec" '"|".join(e["cmd"] for e in r["logs"])')"
tq8_eq "physical device MTU after bare up" 1400 "$(link_mtu uplink0)"
tq8_eq "clamp rules after bare up" 1 "$(iptables -t mangle -S POSTROUTING | grep -c TCPMSS)"

# The tunnel's MTU goes to the link as given; the physical device gets set_mtu's lower limit.
rec=$("$helper" wireguard --wg-action up --mtu 1000)
tq8_eq "low MTU in the record" 1000 "$(tq8_field "$rec" 'r["mtu"]')"
tq8_eq "physical device MTU for a low tunnel MTU" 1280 "$(link_mtu uplink0)"

# A configuration that does not exist changes nothing about the path taken.
rec=$("$helper" wireguard --wg-action up --conf /nonexistent/tq8.conf --mtu 1420)
tq8_eq "missing configuration: entries" 3 "$(tq8_field "$rec" 'len(r["logs"])')"
tq8_eq "physical device MTU back to 1420" 1420 "$(link_mtu uplink0)"

rec=$("$helper" wireguard --wg-action down)
tq8_eq "down ok/active/first command" "True False ip link del dev tq8wg0" \
    "$(tq8_field "$rec" 'r["ok"], r["active"], r["logs"][0]["cmd"]' | tr -d "(),'")"
ip link show tq8wg0 >/dev/null 2>&1 && tq8_fail "tq8wg0 still exists after down"
echo "wireguard system test passed"
