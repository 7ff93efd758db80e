# A real systemd-resolved for the system tests: the packages of the installed systemd's
# version, unpacked by scripts/setup.sh into the build tree, laid over /usr inside the sandbox
# only, with a private system bus. Sourced after lib.sh; expects $work (a scratch directory).

resolved_tree="${TQ8_BUILD_DIR:-}/resolved/root"
bus_pid=
resolved_pid=

# resolved_required: before the sandbox, a missing unpacked tree skips (fails on CI).
resolved_required() {
    if [ -z "${TQ8_IN_SANDBOX:-}" ] && [ ! -x "$resolved_tree/lib/systemd/systemd-resolved" ]; then
        echo "no unpacked systemd-resolved in $resolved_tree (scripts/setup.sh downloads it)" >&2
        [ -n "${CI:-}" ] && exit 1
        exit 77
    fi
}

# resolved_overlay: the unpacked directories over the system's, read-only, in this mount
# namespace only, the configuration and the service's user; then the private bus.
resolved_overlay() {
    local d
    for d in usr/bin lib/systemd usr/lib/x86_64-linux-gnu/systemd; do
        mount -t overlay "tq8-$(basename "$d")" -o "lowerdir=$resolved_tree/$d:/$d" "/$d"
    done
    cp "$resolved_tree/etc/systemd/resolved.conf" /etc/systemd/resolved.conf 2>/dev/null ||
        { mkdir -p /etc/systemd && cp "$resolved_tree/etc/systemd/resolved.conf" /etc/systemd/; }
    getent passwd systemd-resolve >/dev/null ||
        echo 'systemd-resolve:x:991:991:systemd Resolver:/:/usr/sbin/nologin' >>/etc/passwd
    getent group systemd-resolve >/dev/null || echo 'systemd-resolve:x:991:' >>/etc/group

    # A private system bus (its socket under this sandbox's /run) that lets root talk to resolved.
    mkdir -p /run/dbus /run/systemd/resolve
    chown systemd-resolve:systemd-resolve /run/systemd/resolve
    cat >"$work/bus.conf" <<'XML'
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=/run/dbus/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/><allow own="*"/><allow send_destination="*"/><allow receive_sender="*"/>
  </policy>
</busconfig>
XML
    dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile 2>"$work/bus.err" &
    bus_pid=$!
    for _ in $(seq 100); do [ -S /run/dbus/system_bus_socket ] && break; sleep 0.05; done
}

# start_resolved: the service, waited for until its stub is bound and it answers on the bus.
start_resolved() {
    SYSTEMD_LOG_TARGET=console SYSTEMD_LOG_LEVEL=debug /lib/systemd/systemd-resolved \
        >>"$work/resolved.log" 2>&1 &
    resolved_pid=$!
    for _ in $(seq 200); do
        grep -q ' 3500007F:0035 ' /proc/net/udp && resolvectl status >/dev/null 2>&1 && return 0
        sleep 0.05
    done
    cat "$work/resolved.log" >&2
    tq8_fail "systemd-resolved did not start"
}

# resolved_stop: ends the service and the bus (for the callers' clean-up).
resolved_stop() {
    [ -n "$resolved_pid" ] && kill "$resolved_pid" 2>/dev/null || true
    [ -n "$bus_pid" ] && kill "$bus_pid" 2>/dev/null || true
    resolved_pid= bus_pid=
}
