#!/bin/bash
# set_mtu against the real ip and iptables: the MTU really set and one MSS clamp rule, however
# often it runs.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

tq8_run_sandboxed "$0" "$@"

link_mtu() { ip -o link show "$1" | sed -n 's/.* mtu \([0-9]*\) .*/\1/p'; }
clamp_rules() { iptables -t mangle -S POSTROUTING | grep -c -- '-j TCPMSS --clamp-mss-to-pmtu' || true; }

ip link add tq8m0 type veth peer name tq8m1

# First call: the rule is missing, so it is added and logged.
rec=$("$helper" mtu --iface tq8m0 --mtu 1400)
tq8_eq "first call record" \
    '{"ok": true, "mtu": 1400, "interface": "tq8m0", "logs": [{"cmd": "ip link set dev tq8m0 mtu 1400", "rc": 0, "stdout": "", "stderr": ""}, {"cmd": "iptables MSS clamp-to-pmtu", "rc": 0, "stdout": "", "stderr": ""}]}' \
    "$rec"
tq8_eq "MTU after first call" 1400 "$(link_mtu tq8m0)"

# Second call, clamped from above: the rule is found, nothing more is added.
rec=$("$helper" mtu --iface tq8m0 --mtu 9000)
tq8_eq "second call ok/mtu/entries" "True 1500 1" \
    "$(tq8_field "$rec" 'r["ok"], r["mtu"], len(r["logs"])' | tr -d '(),')"
tq8_eq "MTU after second call" 1500 "$(link_mtu tq8m0)"
tq8_eq "clamp rules after two calls" 1 "$(clamp_rules)"
tq8_eq "the clamp rule" '-A POSTROUTING -p tcp -m tcp --tcp-flags SYN,RST SYN -j TCPMSS --clamp-mss-to-pmtu' \
    "$(iptables -t mangle -S POSTROUTING | grep TCPMSS)"

# Clamped from below; an unknown interface fails in "ok" alone and still checks the rule.
"$helper" mtu --iface tq8m0 --mtu -5 >/dev/null
tq8_eq "MTU clamped from below" 1280 "$(link_mtu tq8m0)"
rec=$("$helper" mtu --iface nosuch0 --mtu 1420)
tq8_eq "unknown interface ok/mtu/entries" "False 1420 1" \
    "$(tq8_field "$rec" 'r["ok"], r["mtu"], len(r["logs"])' | tr -d '(),')"
tq8_eq "clamp rules at the end" 1 "$(clamp_rules)"
echo "set_mtu system test passed"
