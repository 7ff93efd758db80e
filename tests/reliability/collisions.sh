#!/bin/bash
# Colliding runs against the real iptables: twenty helper runs at once leave a consistent
# firewall; a guard killed with SIGKILL leaves its rule for the next guard or a reset to take
# away; a manufactured pile-up of kill switch jumps is cleaned up by the next switch-on,
# switch-off or reset.
set -euo pipefail
source "$(dirname "$0")/../system/lib.sh"

tq8_run_sandboxed "$0" "$@"

tq8_scratch collisions "" cleanup
source "$here/../system/dns_lib.sh"
veth="tq8c$$"
cleanup() {
    dns_cleanup
    ip link del "$veth" 2>/dev/null || true
}

# The real ip and iptables; stand-ins for what would reach beyond the namespace.
mkdir "$work/bin"
for prog in resolvectl systemctl wg-quick modprobe; do
    printf '#!/bin/sh\nexit 0\n' >"$work/bin/$prog"
    chmod +x "$work/bin/$prog"
done
export PATH="$work/bin:$PATH"

ip link add "$veth" type veth peer name "${veth}p"
ip link set "$veth" up
printf 'nameserver 127.0.0.53\noptions edns0\n' >"$work/resolv.conf.new"
mv "$work/resolv.conf.new" /etc/resolv.conf

jumps() { iptables -S OUTPUT | grep -c -- '-j TQ8_KILLSWITCH$' || true; }
chain_rules() { iptables -S TQ8_KILLSWITCH 2>/dev/null | grep -c '^-A' || true; }
has_chain() { iptables -S TQ8_KILLSWITCH >/dev/null 2>&1; }
jumps6() { ip6tables -S OUTPUT | grep -c -- '-j TQ8_KILLSWITCH$' || true; }
chain_rules6() { ip6tables -S TQ8_KILLSWITCH 2>/dev/null | grep -c '^-A' || true; }
clamps() { iptables -t mangle -S POSTROUTING | grep -c -- '-j TCPMSS' || true; }

# check_run NAME: the run's status, stdout and stderr in $work/run.NAME.{rc,out,err} are sound.
check_run() {
    local rc out
    rc=$(cat "$work/run.$1.rc")
    out=$(cat "$work/run.$1.out")
    if grep -q Traceback "$work/run.$1.err"; then
        cat "$work/run.$1.err" >&2
        tq8_fail "run $1 crashed"
    fi
    [ "$(wc -l <"$work/run.$1.out")" -le 1 ] || tq8_fail "run $1 printed more than one line"
    case "$1" in
        dns-off*) [[ "$rc:$out" == '0:{"ok": true}' || "$rc:$out" == '1:{"ok": false}' ]] ||
                      tq8_fail "run $1 ended $rc with $out" ;;
        *) tq8_eq "status of run $1" 0 "$rc"
           [[ "$out" == '{"ok": '* ]] || tq8_fail "run $1 printed $out" ;;
    esac
}

# run NAME ARGS...: one helper run in the background, its results kept under NAME.
run() {
    local name=$1
    shift
    # fd 7 is the guard's input: holding it here would keep the guard from seeing its end.
    ( exec 7>&-
      rc=0
      "$helper" "$@" </dev/null >"$work/run.$name.out" 2>"$work/run.$name.err" || rc=$?
      echo "$rc" >"$work/run.$name.rc" ) &
    pids+=($!)
}

# --- twenty runs at once, a guard starting and ending among them -----------------------------
start_shield 0
start_guard
names=()
pids=()
for i in 1 2 3 4 5 6; do
    run "ks-on-$i" killswitch --enable --split-ips "10.8.0.0/24"; names+=("ks-on-$i")
done
for i in 1 2 3 4; do run "ks-off-$i" killswitch --disable; names+=("ks-off-$i"); done
for i in 1 2 3 4 5; do
    run "mtu-$i" mtu --iface "$veth" --mtu $((1380 + i)); names+=("mtu-$i")
done
for i in 1 2 3 4; do run "dns-off-$i" dns-off; names+=("dns-off-$i"); done
run "ks-on-last" killswitch --enable --split-ips "10.8.0.0/24"; names+=("ks-on-last")
# The guard's input ends while the others still run: it takes its rule away and ends with 0.
sleep 0.3
exec 7>&-
wait_guard 60
tq8_eq "guard status" 0 "$guard_rc"
grep -q Traceback "$work/guard.err" && tq8_fail "the guard crashed"
wait "${pids[@]}"
for name in "${names[@]}"; do check_run "$name"; done

n_jumps=$(jumps)
echo "after twenty runs at once: $n_jumps jump(s), $(chain_rules) chain rule(s), $(clamps) clamp rule(s)"
[ "$n_jumps" -le 1 ] || tq8_fail "$n_jumps jumps to TQ8_KILLSWITCH after the collision"
if has_chain; then
    tq8_eq "jumps to an existing chain" 1 "$n_jumps"
    tq8_eq "rules in the chain" 18 "$(chain_rules)"
fi
[ "$(jumps6)" -le 1 ] || tq8_fail "$(jumps6) IPv6 jumps to TQ8_KILLSWITCH after the collision"
tq8_eq "clamp rules after five mtu runs" 1 "$(clamps)"
tq8_eq "redirect copies after the guard and dns-off" 0 "$(redirect_copies)"

# Whatever the order was, the next switch-on leaves exactly one chain and one jump.
"$helper" killswitch --enable --split-ips "10.8.0.0/24" >/dev/null
tq8_eq "jumps after a later switch-on" 1 "$(jumps)"
tq8_eq "rules after a later switch-on" 18 "$(chain_rules)"
tq8_eq "IPv6 jumps after a later switch-on" 1 "$(jumps6)"
tq8_eq "IPv6 rules after a later switch-on" 15 "$(chain_rules6)"
"$helper" killswitch --disable >/dev/null
tq8_eq "jumps after switch-off" 0 "$(jumps)"
tq8_eq "IPv6 jumps after switch-off" 0 "$(jumps6)"
has_chain && tq8_fail "the chain survived the switch-off"

# --- a guard killed with SIGKILL leaves its rule; the next guard, or a reset, removes it ------
for remover in guard reset; do
    start_guard
    wait_for_ready
    kill -KILL "$guard_pid"
    wait "$guard_pid" 2>/dev/null || true
    guard_pid=
    exec 7>&-
    tq8_eq "redirect copies left by a killed guard" 1 "$(redirect_copies)"
    if [ "$remover" = guard ]; then
        start_guard
        wait_for_ready
        tq8_eq "redirect copies while the next guard runs" 1 "$(redirect_copies)"
        exec 7>&-
        wait_guard 30
        tq8_eq "next guard's status" 0 "$guard_rc"
    else
        "$helper" reset-network >"$work/reset.out" </dev/null
        printf 'nameserver 127.0.0.53\n' >/etc/resolv.conf
    fi
    tq8_eq "redirect copies after the $remover" 0 "$(redirect_copies)"
done

# --- a manufactured pile-up of three jumps ---------------------------------------------------
pile_up() {
    iptables -N TQ8_KILLSWITCH
    iptables -A TQ8_KILLSWITCH -o lo -j ACCEPT
    for _ in 1 2 3; do iptables -I OUTPUT 1 -j TQ8_KILLSWITCH; done
}
pile_up
"$helper" killswitch --enable --split-ips "10.8.0.0/24, 10.9.0.0/24" >/dev/null
tq8_eq "jumps after switch-on over a pile-up" 1 "$(jumps)"
tq8_eq "rules after switch-on over a pile-up" 19 "$(chain_rules)"
"$helper" killswitch --disable >/dev/null
pile_up
"$helper" killswitch --disable >/dev/null
tq8_eq "jumps after switch-off over a pile-up" 0 "$(jumps)"
has_chain && tq8_fail "switch-off left the piled-up chain"
pile_up
"$helper" reset-network >/dev/null </dev/null
tq8_eq "jumps after reset over a pile-up" 0 "$(jumps)"
has_chain && tq8_fail "reset left the piled-up chain"
echo "collisions: ok"
