#!/bin/bash
# A full tunnel as providers ship it (both families, all traffic, DNS through it) over the real
# wg-quick, wireguard-go and systemd-resolved against a real peer. The application's whole
# session ends identically round after round, keeping only what a clean disconnect keeps on
# purpose (the clamp rule, the lowered MTU); after each crash (the tunnel's process killed, a
# helper killed during a long kill switch switch-on or during wireguard up) the reset leaves
# the namespace exactly as it was before the session. A link the helper never touched and one
# someone changed after the helper keep their MTUs.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$here/../../scripts/lib/wg_peer.sh"
source "$here/resolved_lib.sh"
resolved_required
tq8_run_sandboxed "$0" "$@"
tq8_in_sandbox

for prog in wg wg-quick wireguard-go iptables-save ip6tables-save dbus-daemon; do
    command -v "$prog" >/dev/null || { echo "$prog is missing (scripts/setup.sh installs it)" >&2; exit 1; }
done
[ -c /dev/net/tun ] || { echo "/dev/net/tun is missing" >&2; exit 1; }

# the shield, as the caller, writes its ready file here
tq8_scratch fulltunnel 1777 cleanup
source "$here/dns_lib.sh"
srv="tq8ftsrv$$"
bg_pids=()  # helpers started in the background, to be killed half-way
cleanup() {
    [ ${#bg_pids[@]} -eq 0 ] || kill -KILL "${bg_pids[@]}" 2>/dev/null || true
    wg_peer_stop "$srv" "$work"
    resolved_stop
    dns_cleanup
}
started=$(date +%s)

# What lies outside the sandbox is a stand-in; wg-quick, wireguard-go, ip, iptables and
# resolved are real. resolvectl answers as resolvconf when called by that name.
mkdir -p "$work/bin"
for prog in systemctl modprobe; do
    printf '#!/bin/sh\nexit 1\n' >"$work/bin/$prog"
    chmod +x "$work/bin/$prog"
done
# wg-quick's sysctl step can be held, so that a helper is killed while wg-quick is half-way.
real_sysctl=$(command -v sysctl) || { echo "sysctl is missing" >&2; exit 1; }
cat >"$work/bin/sysctl" <<SH
#!/bin/sh
if [ -e "$work/hold-sysctl" ]; then touch "$work/at-sysctl"; sleep 3; fi
exec "$real_sysctl" "\$@"
SH
chmod +x "$work/bin/sysctl"
resolved_overlay
start_resolved
ln -s "$(command -v resolvectl)" "$work/bin/resolvconf"
ln -sfn /run/systemd/resolve/stub-resolv.conf /etc/resolv.conf
export PATH="$work/bin:/usr/sbin:/usr/bin:/sbin:/bin"
export WG_QUICK_USERSPACE_IMPLEMENTATION=wireguard-go

# --- the peer, in both families; the client's full-tunnel configuration ---------------------
wg_peer_start "$srv" "$work" uplink0
ip -n "$srv" address add 2001:db8:54::1/64 dev wgsrv0
ip netns exec "$srv" wg set wgsrv0 peer "$(cat "$work/cli.pub")" \
    allowed-ips 198.51.100.2/32,2001:db8:54::2/128
ip route add default via 198.18.9.2 dev uplink0
caller=65534
export PKEXEC_UID=$caller
mkdir -m 755 "$work/home"
conf="$work/home/provider.conf"
cat >"$conf" <<CONF
[Interface]
PrivateKey = $(cat "$work/cli.key")
Address = 198.51.100.2/24, 2001:db8:54::2/64
DNS = 198.51.100.1

[Peer]
PublicKey = $(cat "$work/srv.pub")
Endpoint = 198.18.9.2:51820
AllowedIPs = 0.0.0.0/0, ::/0
CONF
chown "$caller" "$conf"
chmod 600 "$conf"

# Bystanders: a 1492 line the helper never touches, and a link it touches that someone changes.
ip link add tq8ppp0 mtu 1492 type veth peer name tq8ppp0-p
ip link add tq8eth1 type veth peer name tq8eth1-p

# No helper run may hang the test.
run() { timeout 60 "$helper" "$@"; }
link_mtu() { ip -o link show dev "$1" | sed -n 's/.* mtu \([0-9]*\) .*/\1/p'; }

# Everything the session can change: both firewalls (every table, counters stripped, empty
# built-in chains left out: a table first used by wg-quick stays behind empty), policy rules
# and routes of both families in every table, links and MTUs, the sysctl, the resolver file
# and resolved's DNS per link.
snapshot() {
    local t fam
    for fam in iptables ip6tables; do
        for t in filter nat mangle raw security; do
            "$fam-save" -t "$t" 2>/dev/null |
                sed -E '/^#/d; /^\*/d; /^COMMIT$/d; /^:[A-Z]+ ACCEPT \[[0-9]+:[0-9]+\]$/d;
                        s/ \[[0-9]+:[0-9]+\]$//' | sed "s/^/$fam $t: /"
        done
    done
    for fam in -4 -6; do
        ip "$fam" rule show | sed "s/^/rule $fam: /"
        ip "$fam" route show table all | sed "s/^/route $fam: /"
    done
    ip -o link show | sed -E 's/^[0-9]+: ([^:]+):.* mtu ([0-9]+) .*/link \1 mtu \2/'
    echo "src_valid_mark $(cat /proc/sys/net/ipv4/conf/all/src_valid_mark)"
    echo "resolv.conf -> $(readlink /etc/resolv.conf)"
    sed 's/^/resolv.conf: /' /etc/resolv.conf
    timeout 5 resolvectl dns | sed 's/^/resolved: /'
}
# What a clean disconnect keeps on purpose, taken out for the comparison.
without_kept() { grep -v -- '-j TCPMSS --clamp-mss-to-pmtu' | sed -E 's/^(link uplink0@[^ ]*) mtu [0-9]+$/\1 mtu (kept)/'; }

# same_as WHAT EXPECTED [FILTER]: the namespace matches EXPECTED, allowing resolved a moment to
# notice a link that went.
same_as() {
    local now end=$((SECONDS + 5))
    while :; do
        now=$(snapshot | ${3:-cat})
        [ "$now" = "$2" ] && return 0
        [ "$SECONDS" -lt "$end" ] || break
        sleep 0.1
    done
    diff <(printf '%s\n' "$2") <(printf '%s\n' "$now") >&2 || true
    tq8_fail "$1: the namespace differs from before the session"
}

# ns_pids PREFIX: processes of this network namespace whose command line starts with PREFIX.
ns_pids() {
    local me d cmd
    me=$(readlink /proc/self/ns/net)
    for d in /proc/[0-9]*; do
        [ "$(readlink "$d/ns/net" 2>/dev/null)" = "$me" ] || continue
        cmd=$(tr '\0' ' ' <"$d/cmdline" 2>/dev/null) || continue
        [[ "$cmd" == "$1"* ]] && echo "${d#/proc/}"
    done
    return 0
}
wait_until() {  # SECONDS WHAT COMMAND...: COMMAND succeeds before SECONDS have passed
    local end=$((SECONDS + $1)) what=$2
    shift 2
    until "$@"; do
        [ "$SECONDS" -lt "$end" ] || tq8_fail "$what"
        sleep 0.1
    done
}
link_gone() { ! ip link show tq8wg0 >/dev/null 2>&1; }
link_there() { ip link show tq8wg0 >/dev/null 2>&1; }
no_wg_quick() { [ -z "$(ns_pids "/bin/bash /usr/bin/wg-quick")$(ns_pids "bash /usr/bin/wg-quick")" ]; }

ping_tunnel() { "$py" "$work/ping.py" 198.51.100.1 >/dev/null; }
tunnel_up() {
    local rec
    rec=$(run wireguard --wg-action up --conf "$conf")
    tq8_eq "$1: up" "True wg-quick" "$(tq8_field "$rec" 'r["ok"], r["mode"]' | tr -d "(),'")"
    wait_until 10 "$1: no ping through the tunnel" ping_tunnel
    tq8_eq "$1: DNS through the tunnel" answered "$("$py" "$work/query.py" 198.51.100.1)"
    [[ "$(ip -6 rule show)" == *"not from all fwmark"* ]] || tq8_fail "$1: not a full tunnel in IPv6"
    tq8_eq "$1: resolved's DNS for the tunnel" "198.51.100.1" \
        "$(timeout 5 resolvectl dns tq8wg0 | sed 's/^.*: *//')"
}
mtu_and_killswitch() {
    tq8_eq "$1: mtu" "True 1420" "$(tq8_field "$(run mtu --iface uplink0 --mtu 1420)" 'r["ok"], r["mtu"]' | tr -d '(),')"
    tq8_eq "$1: kill switch" "True" "$(tq8_field "$(run killswitch --enable --split-ips 198.18.9.0/24)" 'r["ok"]')"
}

# The links' IPv6 link-local addresses settle first (their routes appear after duplicate
# address detection).
no_tentative() { [ -z "$(ip -6 address show tentative)" ]; }
wait_until 10 "IPv6 addresses still tentative" no_tentative
baseline=$(snapshot)
baseline_kept=$(printf '%s\n' "$baseline" | without_kept)

# --- the whole session, a few rounds ---------------------------------------------------------
start_shield "$caller"
round_end=
for round in 1 2 3; do
    tunnel_up "round $round"
    mtu_and_killswitch "round $round"
    start_guard
    wait_for_ready
    exec 7>&-
    wait_guard 10
    tq8_eq "round $round: guard status" 0 "$guard_rc"
    tq8_eq "round $round: kill switch off" "True" "$(tq8_field "$(run killswitch --disable)" 'r["ok"]')"
    tq8_eq "round $round: down" "True False" \
        "$(tq8_field "$(run wireguard --wg-action down)" 'r["ok"], r["active"]' | tr -d '(),')"
    tq8_eq "round $round: dns-off" '{"ok": true}' "$(run dns-off)"
    same_as "round $round" "$baseline_kept" without_kept
    tq8_eq "round $round: MTU kept after a clean disconnect" 1420 "$(link_mtu uplink0)"
    iptables -t mangle -C POSTROUTING -p tcp --tcp-flags SYN,RST SYN -j TCPMSS --clamp-mss-to-pmtu ||
        tq8_fail "round $round: the clamp rule is not kept"
    now=$(snapshot)
    [ -z "$round_end" ] || tq8_eq "round $round ends as round 1 did" "$round_end" "$now"
    round_end=$now
done
stop_shield
run reset-network >/dev/null
same_as "reset after the sessions" "$baseline"

# --- crash: the tunnel's process killed --------------------------------------------------------
tunnel_up "process killed"
mtu_and_killswitch "process killed"
# The helper lowers tq8eth1's MTU, then someone else sets their own: that value is theirs.
run mtu --iface tq8eth1 --mtu 1420 >/dev/null
ip link set dev tq8eth1 mtu 1400
pids=$(ns_pids "wireguard-go tq8wg0")
[ -n "$pids" ] || tq8_fail "no wireguard-go for tq8wg0"
kill -KILL $pids
wait_until 10 "tq8wg0 outlived its process" link_gone
[[ "$(ip -4 rule show)" == *"not from all fwmark"* ]] || tq8_fail "the dead tunnel left no rule to remove"
run reset-network >/dev/null
tq8_eq "process killed: the link someone changed" 1400 "$(link_mtu tq8eth1)"
tq8_eq "process killed: the 1492 line" 1492 "$(link_mtu tq8ppp0)"
ip link set dev tq8eth1 mtu 1500  # that someone puts theirs back, for the comparison
same_as "process killed" "$baseline"

# After such a crash the application reconnects without a reset: the next up clears what the
# dead tunnel left, and a clean disconnect then takes everything of the new one away.
tunnel_up "before the second crash"
kill -KILL $(ns_pids "wireguard-go tq8wg0")
wait_until 10 "tq8wg0 outlived its process" link_gone
tunnel_up "reconnect after the crash"
run wireguard --wg-action down >/dev/null
same_as "reconnected and down" "$baseline"

# --- crash: a helper killed during a long kill switch switch-on --------------------------------
tunnel_up "kill switch killed"
run mtu --iface uplink0 --mtu 1420 >/dev/null
# The longest list the helper takes (256 entries): about a second of commands to interrupt.
splits=$(for i in $(seq 0 255); do printf '198.19.%d.%d/32,' $((i / 250)) $((i % 250)); done)
"$helper" killswitch --enable --split-ips "$splits" >/dev/null &
ks_pid=$!
bg_pids+=("$ks_pid")
chain_half_built() { [ "$(iptables -S TQ8_KILLSWITCH 2>/dev/null | wc -l)" -gt 40 ]; }
wait_until 30 "the kill switch never got half-way" chain_half_built
kill -KILL "$ks_pid" || tq8_fail "the kill switch was built before it could be killed"
wait "$ks_pid" 2>/dev/null || true
wait_until 15 "iptables still running" eval '[ -z "$(ns_pids iptables)$(ns_pids ip6tables)" ]'
run reset-network >/dev/null
same_as "kill switch killed" "$baseline"

# --- crash: a helper killed during wireguard up ------------------------------------------------
run mtu --iface uplink0 --mtu 1420 >/dev/null
touch "$work/hold-sysctl"
"$helper" wireguard --wg-action up --conf "$conf" >/dev/null &
up_pid=$!
bg_pids+=("$up_pid")
wait_until 30 "wg-quick never reached its sysctl step" test -e "$work/at-sysctl"
# Its link, addresses, DNS and IPv4 routing policy are in place; the rest is still to come.
kill -KILL "$up_pid" || tq8_fail "wireguard up ended before it could be killed"
wait "$up_pid" 2>/dev/null || true
rm -f "$work/hold-sysctl"
wait_until 20 "wg-quick still running" no_wg_quick
run reset-network >/dev/null
same_as "wireguard up killed" "$baseline"

echo "full tunnel: 3 sessions and 3 crashes in $(($(date +%s) - started)) s"
echo "full tunnel system test passed"
