#!/bin/bash
# The installed command under valgrind's memcheck, once per action (and a usage error, the help
# text, a non-UTF-8 argument), with quick fake programs on PATH. Fails on an invalid access, a
# use of uninitialised memory or a definite leak whose stack passes through our code; what
# valgrind says about the runtime's own allocations alone is listed but does not fail.
set -euo pipefail
source "$(dirname "$0")/../system/lib.sh"

if [ -z "${TQ8_IN_SANDBOX:-}" ]; then
    tq8_require_root
    command -v valgrind >/dev/null || { [ -n "${CI:-}" ] && tq8_fail "valgrind missing"; exit 77; }
    # reset-network and the guard work on /etc/resolv.conf: only in a throw-away namespace.
    tq8_sandbox bash "$0" "$@"
    exit $?
fi
tq8_in_sandbox

tq8_scratch memcheck "" cleanup
shield_pid=
cleanup() {
    [ -n "$shield_pid" ] && kill "$shield_pid" 2>/dev/null || true
    rm -rf "$work"
}

mkdir "$work/bin"
for prog in iptables ip wg-quick modprobe resolvectl systemctl; do
    printf '#!/bin/sh\nexit 0\n' >"$work/bin/$prog"
    chmod +x "$work/bin/$prog"
done
printf '[Interface]\n' >"$work/tq8wg0.conf"
stub_resolv_conf() {
    printf 'nameserver 127.0.0.53\n' >/etc/resolv.conf.tq8 && mv /etc/resolv.conf.tq8 /etc/resolv.conf
}
"$py" "$here/../../scripts/lib/fake_shield.py" --ready "$work/shield.ready" &
shield_pid=$!
for _ in $(seq 100); do [ -e "$work/shield.ready" ] && break; sleep 0.05; done

runs=(
    "--help"
    "mtu --iface x"
    "mtu --iface eth0 --mtu 100000000000000000000000000000"
    "killswitch --enable --split-ips 10.8.0.0/24,_,x"
    "killswitch --disable"
    "wireguard --wg-action up --conf $work/tq8wg0.conf"
    "wireguard --wg-action down"
    "reset-network"
    "dns-off"
    "dns-guard"
    "killswitch --bogus"
)
status=0
i=0
check() {
    local name=$1 xml=$2 rc=$3
    # Our code: the helper's own frames (namespace tq8) or the command's objects.
    if ! "$py" - "$xml" "$name" <<'EOF'
import sys
import xml.etree.ElementTree as ET
path, name = sys.argv[1], sys.argv[2]
ours, theirs = [], []
# The XML echoes the command line, which may hold bytes that are not UTF-8.
with open(path, "rb") as f:
    root = ET.fromstring(f.read().decode("utf-8", "replace").encode())
for err in root.iter("error"):
    kind = err.findtext("kind")
    if kind in ("Leak_PossiblyLost", "Leak_StillReachable", "Leak_IndirectlyLost"):
        continue
    frames = [(f.findtext("fn") or "") + " " + (f.findtext("obj") or "") for f in err.iter("frame")]
    what = (err.findtext("what") or err.findtext("xwhat/text") or kind)
    top = next((f for f in frames if "tq8" in f), frames[0] if frames else "?")
    (ours if any("tq8::" in f or "tq8_root_helper" in f for f in frames) else theirs).append(
        "%s: %s at %s" % (kind, what, top.strip()))
for line in theirs:
    print("  %s: not ours: %s" % (name, line))
for line in ours:
    print("  %s: OURS: %s" % (name, line))
sys.exit(1 if ours else 0)
EOF
    then
        status=1
    fi
}
for args in "${runs[@]}"; do
    i=$((i + 1))
    rc=0
    stub_resolv_conf  # the guard needs the stub marker; the reset replaces the file
    # shellcheck disable=SC2086  # each entry is a plain argument list
    PATH="$work/bin:/usr/bin:/bin" valgrind --quiet --leak-check=full --show-leak-kinds=definite \
        --errors-for-leak-kinds=definite --num-callers=40 --child-silent-after-fork=yes \
        --xml=yes --xml-file="$work/vg.$i.xml" "$helper" $args \
        </dev/null >"$work/out.$i" 2>"$work/err.$i" || rc=$?
    echo "memcheck: $args -> status $rc"
    grep -q Traceback "$work/err.$i" && { cat "$work/err.$i" >&2; tq8_fail "$args crashed"; }
    check "$args" "$work/vg.$i.xml" "$rc"
done
# The same with an argument that is not UTF-8.
i=$((i + 1))
PATH="$work/bin:/usr/bin:/bin" valgrind --quiet --leak-check=full --show-leak-kinds=definite \
    --errors-for-leak-kinds=definite --num-callers=40 --xml=yes --xml-file="$work/vg.$i.xml" \
    "$helper" mtu --iface $'eth\xff0' </dev/null >/dev/null 2>"$work/err.$i" || true
echo "memcheck: mtu --iface <non-UTF-8>"
check "non-UTF-8 iface" "$work/vg.$i.xml" 0
[ "$status" = 0 ] || tq8_fail "memcheck found errors in our code"
echo "memcheck: ${#runs[@]} + 1 runs, nothing in our code"
