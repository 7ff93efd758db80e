# Shared pieces of the system tests: the sandbox (shared with the tour and the benchmarks), the
# scratch directory, the UDP peer and assertions. Nothing here touches the host's own network,
# firewall or files. A test starts with
#     source "$(dirname "$0")/../system/lib.sh"    (or "$(dirname "$0")/lib.sh" in this directory)
#     tq8_run_sandboxed "$0" "$@"
source "$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/scripts/lib/sandbox.sh"

# The sourcing script's directory, this directory, the installed command, the tests' Python.
here=$(cd "$(dirname "$0")" && pwd)
system_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
helper="${TQ8_INSTALL_DIR:-}/tq8_root_helper"
py="${TQ8_PYTHON:-python3.12}"

# tq8_scratch TAG [MODE [ON_EXIT]]: makes the scratch directory $work (/tmp/tq8-TAG.XXXXXX;
# MODE 1777 where the shield or the caller, another user, writes in it) and at exit runs the
# command ON_EXIT (which removes $work itself), or else just removes $work.
tq8_scratch() {
    work=$(mktemp -d "/tmp/tq8-$1.XXXXXX")
    [ -z "${2:-}" ] || chmod "$2" "$work"
    # shellcheck disable=SC2064  # $work is fixed now; ON_EXIT may be defined later
    trap "${3:-rm -rf '$work'}" EXIT
}

# tq8_udp_serve NETNS ADDR...: an echo peer on ports 53 and 5353 of each address inside NETNS,
# in the background (sets udp_server_pid); returns once it is bound.
tq8_udp_serve() {
    local ns=$1
    shift
    ip netns exec "$ns" "$py" "$system_dir/udp_peer.py" serve "$@" >"$work/udp_server.out" 2>&1 &
    udp_server_pid=$!
    for _ in $(seq 50); do grep -q ready "$work/udp_server.out" 2>/dev/null && break; sleep 0.1; done
    grep -q ready "$work/udp_server.out" || tq8_fail "test server did not start: $(cat "$work/udp_server.out")"
}

# tq8_udp_ask HOST PORT: answered, garbled, refused, refused-late or timeout.
tq8_udp_ask() { "$py" "$system_dir/udp_peer.py" ask "$1" "$2"; }

# tq8_ask_stub NAME: one A query to the resolver stub; prints "<source address> <ID ok>".
tq8_ask_stub() { "$py" "$system_dir/udp_peer.py" stub "$1"; }

# tq8_eq WHAT EXPECTED ACTUAL
tq8_eq() {
    if [ "$2" != "$3" ]; then
        printf 'FAIL: %s\n  expected: %s\n  actual:   %s\n' "$1" "$2" "$3" >&2
        exit 1
    fi
}

# tq8_field JSON EXPR: prints EXPR evaluated with r = the parsed JSON line.
tq8_field() {
    "${TQ8_PYTHON:-python3.12}" -c 'import json, sys; r = json.loads(sys.argv[1]); print(eval(sys.argv[2]))' "$1" "$2"
}
