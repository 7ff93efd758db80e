# A dns-guard run against a stand-in shield, for the tour's demonstration and the DNS system
# tests: the fake shield, the installed command's guard on a pipe, waiting for both, clean-up.
# Sourced inside the sandbox after sandbox.sh; expects $work (a scratch directory) and
# $TQ8_INSTALL_DIR (a staged install) to exist.

py="${TQ8_PYTHON:-python3.12}"
helper="$TQ8_INSTALL_DIR/tq8_root_helper"
shield_script="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/fake_shield.py"
shield_pid=
guard_pid=

# start_shield UID [fake_shield options]: the fake shield as user UID (0: root), waited for
# until its socket is bound. Sets shield_pid.
start_shield() {
    local uid=$1 ready="$work/ready.$RANDOM" cmd=("$py")
    shift
    if [ "$uid" != 0 ]; then
        # The runtime under test may live where other users cannot load it.
        local as=(setpriv --reuid="$uid" --regid="$uid" --clear-groups) upy
        for upy in "$py" /usr/bin/python3 /usr/local/bin/python3 ""; do
            [ -n "$upy" ] || tq8_fail "no Python that user $uid can run"
            "${as[@]}" "$upy" -c '' 2>/dev/null && break
        done
        cmd=("${as[@]}" "$upy")
        # Nor may it be able to enter the checkout (a clone under /root, or in mktemp -d):
        # run a copy from the scratch directory, which the callers open to every user.
        if [ ! -e "$work/fake_shield.py" ]; then
            install -m 0644 "$shield_script" "$work/fake_shield.py"
        fi
        "${cmd[@]}" "$work/fake_shield.py" --ready "$ready" "$@" &
    else
        "${cmd[@]}" "$shield_script" --ready "$ready" "$@" &
    fi
    shield_pid=$!
    for _ in $(seq 200); do
        [ -e "$ready" ] && return 0
        sleep 0.05
    done
    tq8_fail "the fake shield did not start"
}

stop_shield() {
    [ -n "$shield_pid" ] || return 0
    kill -CONT "$shield_pid" 2>/dev/null || true
    kill "$shield_pid" 2>/dev/null || true
    wait "$shield_pid" 2>/dev/null || true
    shield_pid=
}

# start_guard: the installed command's dns-guard with its input on a pipe we hold open as fd 7
# and its output in $work/guard.out. Sets guard_pid.
start_guard() {
    rm -f "$work/guard.in" "$work/guard.out"
    mkfifo "$work/guard.in"
    # A background job of a script starts with INT and QUIT ignored (and the guard keeps what
    # its starter ignored); the application starts it with every signal at its default.
    env --default-signal "$helper" dns-guard <"$work/guard.in" >"$work/guard.out" 2>"$work/guard.err" &
    guard_pid=$!
    exec 7>"$work/guard.in"
}

# wait_for_ready: until the guard has printed its ready line (10 s at most).
wait_for_ready() {
    for _ in $(seq 200); do
        grep -qx HAZIR "$work/guard.out" 2>/dev/null && return 0
        kill -0 "$guard_pid" 2>/dev/null || break
        sleep 0.05
    done
    cat "$work/guard.out" "$work/guard.err" >&2 || true
    tq8_fail "the guard did not print HAZIR"
}

# wait_guard SECONDS: waits for the guard to end within SECONDS; sets guard_rc to its status.
wait_guard() {
    local i
    for i in $(seq $(($1 * 20))); do
        kill -0 "$guard_pid" 2>/dev/null || break
        sleep 0.05
    done
    if kill -0 "$guard_pid" 2>/dev/null; then
        kill -KILL "$guard_pid"
        tq8_fail "the guard was still running after $1 s"
    fi
    guard_rc=0
    wait "$guard_pid" || guard_rc=$?
    guard_pid=
}

dns_cleanup() {
    exec 7>&-
    [ -n "$guard_pid" ] && kill -KILL "$guard_pid" 2>/dev/null || true
    stop_shield
    rm -rf "$work"
}
