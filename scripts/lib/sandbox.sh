# Throw-away namespaces for the tour, the system tests and the benchmarks: root check, sandbox,
# and the guard that refuses to run outside one. Nothing here touches the host's own network,
# firewall or files.

tq8_require_root() {
    if [ "$(id -u)" != 0 ]; then
        if [ -n "${CI:-}" ]; then
            echo "system tests must run as root on CI" >&2
            exit 1
        fi
        echo "skipped: needs root"
        exit 77
    fi
    if ! unshare -n -m --propagation private true 2>/dev/null; then
        echo "cannot create network and mount namespaces here" >&2
        [ -n "${CI:-}" ] && exit 1
        exit 77
    fi
}

# tq8_sandbox CMD [ARG...]: runs CMD in new network and mount namespaces with an overlay over
# /etc (writes land in a scratch directory), a tmpfs over /run and loopback up. Returns CMD's
# status. The scratch directory is removed afterwards.
tq8_sandbox() {
    local scratch rc
    scratch=$(mktemp -d /tmp/tq8-sandbox.XXXXXX)
    mkdir -p "$scratch/upper" "$scratch/work"
    unshare -n -m --propagation private -- env TQ8_SANDBOX_SCRATCH="$scratch" bash -c '
        set -e
        mount -t overlay tq8-etc -o "lowerdir=/etc,upperdir=$TQ8_SANDBOX_SCRATCH/upper,workdir=$TQ8_SANDBOX_SCRATCH/work" /etc
        mount -t tmpfs tq8-run /run
        ip link set lo up
        export TQ8_IN_SANDBOX=1
        rc=0
        "$@" || rc=$?
        # Nothing started in the sandbox outlives it: a daemon left running would hold the
        # output of whoever started the sandbox open (a test runner then waits for it).
        own=$(readlink /proc/self/ns/net)
        for p in /proc/[0-9]*; do
            [ "${p#/proc/}" != $$ ] && [ "$(readlink "$p/ns/net" 2>/dev/null)" = "$own" ] &&
                { kill -KILL "${p#/proc/}" 2>/dev/null || true; }
        done
        exit $rc' tq8-sandbox "$@"
    rc=$?
    rm -rf "$scratch"
    return $rc
}

# tq8_run_sandboxed "$0" "$@": the first line of a system test. Outside a sandbox it checks for
# root, runs the script again inside a fresh sandbox and exits with its status; inside one it
# returns and the script goes on.
tq8_run_sandboxed() {
    if [ -z "${TQ8_IN_SANDBOX:-}" ]; then
        tq8_require_root
        local status=0
        tq8_sandbox bash "$@" || status=$?
        exit "$status"
    fi
}

# tq8_in_sandbox: fails unless the caller runs inside tq8_sandbox (a guard for scripts that
# change the firewall or /etc).
tq8_in_sandbox() {
    if [ -z "${TQ8_IN_SANDBOX:-}" ]; then
        echo "refusing to run outside a sandbox" >&2
        exit 1
    fi
}

# tq8_fail MESSAGE: stops the script, naming the step that broke.
tq8_fail() { echo "FAIL: $*" >&2; exit 1; }
