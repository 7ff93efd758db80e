#!/usr/bin/env bash
# The reset against a real firewall and real links: one run removes the kill switch, the MSS
# clamp, every copy of the DNS redirect and the tunnel link, gives a device whose MTU the helper
# changed its own MTU back (once; a device it never touched keeps its MTU), and reports failing
# or missing programs without failing itself.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
tq8_run_sandboxed "$0" "$@"
source "$here/reset_lib.sh"

tq8_scratch reset-cleanup "" cleanup
reset_stub_pid=
cleanup() {
    [ -n "$reset_stub_pid" ] && kill "$reset_stub_pid" 2>/dev/null || true
    rm -rf "$work"
}
bin="$work/bin"
reset_bin_dir "$bin"
fakes="$work/fakes"
mkdir -p "$fakes"
reset_fake "$fakes" resolvectl 0 "flushed" ""
reset_fake "$fakes" systemctl 5 "" "Unit NetworkManager.service not found."
mkdir -p "$(dirname "$RESET_STUB")"
echo "nameserver 127.0.0.53" >"$RESET_STUB"
reset_serve_stub "$work/stub.up"

# What the other actions leave behind, and bystanders that must survive the reset.
iptables -N TQ8_KILLSWITCH
iptables -A TQ8_KILLSWITCH -p udp --dport 53 -j REJECT
iptables -I OUTPUT 1 -j TQ8_KILLSWITCH
iptables -A OUTPUT -d 198.18.5.5/32 -j ACCEPT
iptables -t mangle -A POSTROUTING -p tcp --tcp-flags SYN,RST SYN -j TCPMSS --clamp-mss-to-pmtu
for _ in 1 2; do
    iptables -w 5 -t nat -I OUTPUT -p udp -d 127.0.0.53 --dport 53 -j DNAT \
        --to-destination 127.0.0.1:5354
done
iptables -t nat -A OUTPUT -p udp -d 127.0.0.53/32 --dport 54 -j DNAT \
    --to-destination 127.0.0.1:5354
ip link add tq8wg0 type veth peer name tq8wg0-peer
# Two physical devices, each with a default route; the lower metric is listed first.
for i in 0 1; do
    ip link add "tq8phys$i" mtu 1400 type veth peer name "tq8phys$i-p"
    ip link set "tq8phys$i-p" up
    ip link set "tq8phys$i" up
    ip address add "198.18.$i.2/24" dev "tq8phys$i"
    ip route add default via "198.18.$i.1" dev "tq8phys$i" metric "$((100 + i))"
done

# The helper lowers the first device's MTU; the second keeps the 1400 nobody changed.
env PATH="$bin" "$TQ8_INSTALL_DIR/tq8_root_helper" mtu --iface tq8phys0 --mtu 1420 >/dev/null
summary=$(reset_run "$fakes:$bin")
expected="ok
$RESET_E1
$RESET_E2A
ip link set dev tq8phys0 mtu 1400${RESET_TAB}0${RESET_TAB}${RESET_TAB}
resolvectl flush-caches${RESET_TAB}0${RESET_TAB}flushed${RESET_TAB}
systemctl restart NetworkManager${RESET_TAB}5${RESET_TAB}${RESET_TAB}Unit NetworkManager.service not found."
tq8_eq "first reset" "$expected" "$summary"
tq8_eq "resolvectl arguments" "flush-caches" "$(cat "$fakes/resolvectl.args")"
tq8_eq "systemctl arguments" "restart NetworkManager" "$(cat "$fakes/systemctl.args")"

# /sys shows the host's devices, not this namespace's: ask ip.
link_mtu() { ip -o link show dev "$1" | sed -n 's/.* mtu \([0-9]*\) .*/\1/p'; }

check_clean() {
    ! iptables -S TQ8_KILLSWITCH >/dev/null 2>&1 || tq8_fail "$1: TQ8_KILLSWITCH still exists"
    tq8_eq "$1: filter OUTPUT" "-A OUTPUT -d 198.18.5.5/32 -j ACCEPT" \
        "$(iptables -S OUTPUT | grep -v '^-P')"
    tq8_eq "$1: mangle POSTROUTING" "" "$(iptables -t mangle -S POSTROUTING | grep -v '^-P')"
    tq8_eq "$1: nat OUTPUT" \
        "-A OUTPUT -d 127.0.0.53/32 -p udp -m udp --dport 54 -j DNAT --to-destination 127.0.0.1:5354" \
        "$(iptables -t nat -S OUTPUT | grep -v '^-P')"
    ! ip link show tq8wg0 >/dev/null 2>&1 || tq8_fail "$1: tq8wg0 still exists"
    tq8_eq "$1: MTU of the first route's device" 1400 "$(link_mtu tq8phys0)"
    tq8_eq "$1: MTU of the second route's device" 1400 "$(link_mtu tq8phys1)"
    tq8_eq "$1: resolv.conf" "$RESET_STUB" "$(readlink /etc/resolv.conf)"
}
check_clean "after the first reset"

# Again on the repaired system, with resolvectl and systemctl missing: the MTU memory is gone,
# the runner's failure text is in the last two entries, and "ok" is still true.
summary=$(reset_run "$bin")
tq8_eq "second reset, entries 0-2" "ok
$RESET_E1
$RESET_E2A" \
    "$(printf '%s\n' "$summary" | head -n 3)"
tq8_eq "second reset, entry count" 5 "$(printf '%s\n' "$summary" | wc -l)"
for i in 3 4; do
    line=$(reset_entry "$summary" "$i")
    cmd=${line%%"$RESET_TAB"*}
    [[ "$line" == "$cmd${RESET_TAB}1${RESET_TAB}${RESET_TAB}Komut çalıştırma hatası ($cmd): "* ]] ||
        tq8_fail "entry $i does not carry the runner's failure: $line"
done
tq8_eq "entry 3 command" "resolvectl flush-caches" "$(reset_entry "$summary" 3 | cut -f1)"
tq8_eq "entry 4 command" "systemctl restart NetworkManager" "$(reset_entry "$summary" 4 | cut -f1)"
check_clean "after the second reset"

# Without a default route nothing changes either.
ip route del default dev tq8phys0
ip route del default dev tq8phys1
summary=$(reset_run "$fakes:$bin")
tq8_eq "no default route" "ok
$RESET_E1
$RESET_E2A
resolvectl flush-caches${RESET_TAB}0${RESET_TAB}flushed${RESET_TAB}
systemctl restart NetworkManager${RESET_TAB}5${RESET_TAB}${RESET_TAB}Unit NetworkManager.service not found." \
    "$summary"
echo "reset_cleanup: ok"
