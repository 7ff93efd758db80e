#!/bin/bash
# The helper the way the application reaches it: the real pkexec asking a real polkitd (on a
# private system bus) about the packaged action, with the staged install at the pinned path.
# pkaction lists the action and its path; a user a polkit rule grants the action runs the helper
# as root and gets exactly its output, with its own PKEXEC_UID; a copy at another path and a
# symbolic link to the pinned path are refused. Everything lives in the sandbox: the user exists
# only in the overlaid /etc, the bus and polkitd only in its /run, /opt and the actions
# directory are overlays of its own.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

tq8_run_sandboxed "$0" "$@"

for prog in pkexec pkaction dbus-daemon /usr/lib/polkit-1/polkitd; do
    if ! command -v "$prog" >/dev/null 2>&1; then
        echo "missing $prog (scripts/setup.sh installs it)" >&2
        [ -n "${CI:-}" ] && exit 1
        exit 77
    fi
done

action=com.tq8.vpnadblocker.roothelper
pinned=/opt/tq8-vpn-adblocker/tq8_root_helper
tq8_scratch pkexec 0755 cleanup
bus_pid=
polkit_pid=
cleanup() {
    stop_shield 2>/dev/null || true
    [ -n "$polkit_pid" ] && kill "$polkit_pid" 2>/dev/null || true
    [ -n "$bus_pid" ] && kill "$bus_pid" 2>/dev/null || true
    wait 2>/dev/null || true
    umount -l /usr/share/polkit-1/actions 2>/dev/null || true
    umount -l /opt 2>/dev/null || true
    rm -rf "$work"
}

# --- a user of our own, only in this sandbox's /etc ----------------------------------------------
user=tq8pk$$
uid=$((61000 + $$ % 3000))
while getent passwd "$uid" >/dev/null || getent group "$uid" >/dev/null; do uid=$((uid + 1)); done
echo "$user:x:$uid:$uid:tq8 pkexec test:/nonexistent:/bin/bash" >>/etc/passwd
echo "$user:x:$uid:" >>/etc/group
echo "$user:!:20000:0:99999:7:::" >>/etc/shadow

# --- the package's files where the package puts them --------------------------------------------
overlay() {  # overlay DIR NAME: writes to DIR land in the scratch directory
    mkdir -p "$work/$2.upper" "$work/$2.work"
    mount -t overlay "tq8-$2" -o "lowerdir=$1,upperdir=$work/$2.upper,workdir=$work/$2.work" "$1"
}
overlay /opt opt
mkdir -p /opt/tq8-vpn-adblocker
mount --bind "$TQ8_INSTALL_DIR" /opt/tq8-vpn-adblocker
overlay /usr/share/polkit-1/actions actions
install -m 0644 "$TQ8_SOURCE_DIR/packaging/$action.policy" /usr/share/polkit-1/actions/
# The rule an administrator would write: this user may, without authenticating.
cat >/etc/polkit-1/rules.d/10-tq8-test.rules <<JS
polkit.addRule(function(action, subject) {
    if (action.id == "$action" && subject.user == "$user") return polkit.Result.YES;
});
JS
chmod 0644 /etc/polkit-1/rules.d/10-tq8-test.rules

# --- a system bus and polkitd of our own ----------------------------------------------------------
mkdir -p /run/dbus
# A fresh container may have no machine id; the bus wants one.
[ -s /etc/machine-id ] || tr -d - </proc/sys/kernel/random/uuid >/etc/machine-id
dbus-daemon --system --nofork --nopidfile >"$work/bus.log" 2>&1 &
bus_pid=$!
for _ in $(seq 100); do [ -S /run/dbus/system_bus_socket ] && break; sleep 0.05; done
[ -S /run/dbus/system_bus_socket ] || tq8_fail "the system bus did not start: $(cat "$work/bus.log")"
/usr/lib/polkit-1/polkitd --no-debug >"$work/polkitd.log" 2>&1 &
polkit_pid=$!
for _ in $(seq 200); do
    pkaction --action-id "$action" >/dev/null 2>&1 && break
    kill -0 "$polkit_pid" 2>/dev/null || tq8_fail "polkitd ended: $(cat "$work/polkitd.log")"
    sleep 0.05
done

# --- the action as polkitd sees it -----------------------------------------------------------------
listing=$(pkaction --verbose --action-id "$action") || tq8_fail "pkaction does not know $action"
grep -qx "$action:" <<<"$listing" || tq8_fail "pkaction: $listing"
grep -q "org.freedesktop.policykit.exec.path -> $pinned\$" <<<"$listing" ||
    tq8_fail "pkaction shows no pinned path: $listing"
grep -q 'implicit active: *auth_admin_keep$' <<<"$listing" || tq8_fail "pkaction defaults: $listing"

# as_user CMD...: CMD in a shell of the test user (pkexec refuses a caller whose parent is
# PID 1, and a real application is a process of the user's session, not a child of init).
as_user() {
    runuser -u "$user" -- bash -c 'cd / && "$@"; echo "status=$?" >&2' as_user "$@"
}

lo_mtu() { ip -o link show dev lo | sed -n 's/.* mtu \([0-9]*\) .*/\1/p'; }

# --- granted: the pinned path runs as root, with exactly the helper's output -------------------------
as_user pkexec "$pinned" mtu --iface lo --mtu 1400 >"$work/out" 2>"$work/err" </dev/null
tq8_eq "pkexec mtu: stderr" "status=0" "$(cat "$work/err")"
tq8_eq "pkexec mtu: stdout" \
    '{"ok": true, "mtu": 1400, "interface": "lo", "logs": [{"cmd": "ip link set dev lo mtu 1400", "rc": 0, "stdout": "", "stderr": ""}, {"cmd": "iptables MSS clamp-to-pmtu", "rc": 0, "stdout": "", "stderr": ""}]}' \
    "$(cat "$work/out")"
tq8_eq "the MTU really changed" 1400 "$(lo_mtu)"

# PKEXEC_UID: the guard accepts a shield of the user who ran pkexec, and only that user's.
source "$here/dns_lib.sh"
chmod 1777 "$work"
echo "nameserver 127.0.0.53" >/etc/resolv.conf
for owner in "$uid" other; do
    if [ "$owner" = other ]; then start_shield $((uid + 1)); else start_shield "$uid"; fi
    as_user pkexec "$pinned" dns-guard >"$work/out" 2>"$work/err" </dev/null
    if [ "$owner" = other ]; then
        tq8_eq "another user's shield: refused" \
            "HATA: Sipran DNS çözümleyicisi (127.0.0.1:5354) çalışmıyor.|status=5" \
            "$(cat "$work/out")|$(cat "$work/err")"
    else
        tq8_eq "the user's own shield: accepted" "HAZIR|status=0" "$(cat "$work/out")|$(cat "$work/err")"
    fi
    stop_shield
done

# --- refused: the same program at another path, and a link to the pinned path -----------------------
cp "$TQ8_INSTALL_DIR/tq8_root_helper" /opt/tq8-copy
chmod 0755 /opt/tq8-copy
ln -s "$pinned" /opt/tq8-link
for path in /opt/tq8-copy /opt/tq8-link; do
    as_user pkexec "$path" mtu --iface lo --mtu 1300 >"$work/out" 2>"$work/err" </dev/null
    tq8_eq "pkexec $path: nothing on stdout" "" "$(cat "$work/out")"
    grep -qx 'status=127' "$work/err" || tq8_fail "pkexec $path was not refused: $(cat "$work/err")"
done
tq8_eq "the refused runs changed nothing" 1400 "$(lo_mtu)"
echo "pkexec and polkit system test passed"
