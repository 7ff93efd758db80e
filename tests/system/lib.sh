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
