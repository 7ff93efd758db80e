#!/bin/bash
# dns-off with the real iptables: every copy of the redirect goes, five at most per run, and
# the JSON line and the exit status say whether any is left. Similar rules are left alone.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

tq8_run_sandboxed "$0" "$@"

tq8_scratch dns-off "" dns_cleanup
source "$here/dns_lib.sh"

# A neighbour that differs only in the port must survive every run.
neighbour='-A OUTPUT -d 127.0.0.53/32 -p udp -m udp --dport 53 -j DNAT --to-destination 127.0.0.1:5355'
iptables -t nat -A OUTPUT -p udp -d 127.0.0.53 --dport 53 -j DNAT --to-destination 127.0.0.1:5355

# copies before | status | JSON line | copies after
while IFS='|' read -r before status line after; do
    add_redirect_copies "$before"
    out=$("$helper" dns-off) && rc=0 || rc=$?
    tq8_eq "$before copies: status" "$status" "$rc"
    tq8_eq "$before copies: line" "$line" "$out"
    tq8_eq "$before copies: left" "$after" "$(redirect_copies)"
    iptables -t nat -S OUTPUT | grep -qxF -- "$neighbour" || tq8_fail "$before copies: neighbour removed"
    while [ "$(redirect_copies)" != 0 ]; do iptables -t nat -D "${redirect_args[@]}"; done
done <<'CASES'
0|0|{"ok": true}|0
1|0|{"ok": true}|0
3|0|{"ok": true}|0
7|1|{"ok": false}|2
CASES

echo "dns-off: all passed"
