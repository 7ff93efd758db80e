# Shared pieces of the system tests: the sandbox (shared with the tour and the benchmarks) and
# assertions. Nothing here touches the host's own network, firewall or files.
source "$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/scripts/lib/sandbox.sh"

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
