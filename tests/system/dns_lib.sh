# Shared pieces of the DNS system tests: the guard's run (shared with the tour) and the
# redirect rule. Sourced inside the sandbox after lib.sh; expects $work (a scratch directory).
source "$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/scripts/lib/guard_run.sh"

redirect_rule='-A OUTPUT -d 127.0.0.53/32 -p udp -m udp --dport 53 -j DNAT --to-destination 127.0.0.1:5354'
redirect_args=(OUTPUT -p udp -d 127.0.0.53 --dport 53 -j DNAT --to-destination 127.0.0.1:5354)

redirect_copies() { iptables -t nat -S OUTPUT | grep -cxF -- "$redirect_rule" || true; }

add_redirect_copies() {
    for _ in $(seq "$1"); do iptables -t nat -A "${redirect_args[@]}"; done
}

# module FUNCTION: calls a function of the installed module and prints its result.
module() {
    "$py" -c 'import sys; sys.path[0] = sys.argv[1]; import tq8_root_helper as m
print(getattr(m, sys.argv[2])())' "$TQ8_INSTALL_DIR" "$1"
}
