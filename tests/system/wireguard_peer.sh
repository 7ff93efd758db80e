#!/bin/bash
# The WireGuard tunnel through the real wg-quick over wireguard-go, against a real peer in a
# second namespace: handshake, traffic and DNS through the tunnel, the kill switch around it,
# repeated bring-ups, and what a hostile caller's configuration can no longer do.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$here/../../scripts/lib/wg_peer.sh"

tq8_run_sandboxed "$0" "$@"

for prog in wg wg-quick wireguard-go; do
    command -v "$prog" >/dev/null || { echo "$prog is missing (scripts/setup.sh installs it)" >&2; exit 1; }
done
[ -c /dev/net/tun ] || { echo "/dev/net/tun is missing" >&2; exit 1; }

srv="tq8wgsrv$$"
# the caller must reach its own file below
tq8_scratch wgpeer 755 cleanup
cleanup() {
    wg_peer_stop "$srv" "$work"
    rm -rf "$work"
}

# The reset's stand-ins for what lies outside the sandbox; wg-quick and wireguard-go are real.
mkdir -p "$work/bin"
for prog in resolvectl systemctl modprobe; do
    printf '#!/bin/sh\nexit 1\n' >"$work/bin/$prog"
    chmod +x "$work/bin/$prog"
done
export PATH="$work/bin:/usr/sbin:/usr/bin:/sbin:/bin"
export WG_QUICK_USERSPACE_IMPLEMENTATION=wireguard-go

wg_peer_start "$srv" "$work" uplink0
query() { "$py" "$work/query.py" "$1"; }

# --- the caller's configuration: named vpn0.conf, the caller's own file -----------------------
caller=65534
mkdir -m 755 "$work/home"
conf="$work/home/vpn0.conf"
cp "$work/client.conf" "$conf"
chown "$caller" "$conf"
chmod 600 "$conf"
as_caller() { PKEXEC_UID=$caller "$helper" "$@"; }
ms() { echo $(( ($(date +%s%N) - $1) / 1000000 )); }
tunnel_works() {
    "$py" "$work/ping.py" 198.51.100.1 >/dev/null || tq8_fail "$1: no ping through the tunnel"
    [ "$(wg show tq8wg0 latest-handshakes | awk '{print $2}')" -gt 0 ] || tq8_fail "$1: no handshake"
    tq8_eq "$1: DNS through the tunnel" answered "$(query 198.51.100.1)"
}

t0=$(date +%s%N)
rec=$(as_caller wireguard --wg-action up --conf "$conf")
up_ms=$(ms "$t0")
tq8_eq "up record" "{\"ok\": true, \"active\": true, \"mode\": \"wg-quick\", \"logs\": [{\"cmd\": \"wg-quick up $conf\", \"rc\": 0, \"stdout\": \"\", \"stderr\": \"\"}]}" \
    "$(tq8_field "$rec" 'json.dumps(dict(r, logs=[dict(e, stderr="") for e in r["logs"]]), ensure_ascii=False)')"
ip link show vpn0 >/dev/null 2>&1 && tq8_fail "the tunnel took the file's name"
tunnel_works "first up"

# The kill switch knows the tunnel: DNS over the veth is rejected, DNS through tq8wg0 passes.
"$helper" killswitch --enable >/dev/null
tq8_eq "kill switch: DNS over the veth" refused "$(query 198.18.9.2)"
tq8_eq "kill switch: DNS through the tunnel" answered "$(query 198.51.100.1)"
"$helper" killswitch --disable >/dev/null
tq8_eq "no kill switch: DNS over the veth" answered "$(query 198.18.9.2)"

# A second up replaces the tunnel and keeps it working.
t0=$(date +%s%N)
rec=$(as_caller wireguard --wg-action up --conf "$conf")
up2_ms=$(ms "$t0")
tq8_eq "second up ok/mode" "True wg-quick" "$(tq8_field "$rec" 'r["ok"], r["mode"]' | tr -d "(),'")"
tunnel_works "second up"

# down with no configuration takes down what up brought up, copy and all.
t0=$(date +%s%N)
rec=$("$helper" wireguard --wg-action down)
down_ms=$(ms "$t0")
tq8_eq "down record" "True False" "$(tq8_field "$rec" 'r["ok"], r["active"]' | tr -d '(),')"
ip link show tq8wg0 >/dev/null 2>&1 && tq8_fail "tq8wg0 still exists after down"
[ -e /run/tq8-wireguard/tq8wg0.conf ] && tq8_fail "private copy left after down"

# --- what a hostile caller hands over ---------------------------------------------------------
marker="$work/hook-ran"
for key in PreUp PostUp PreDown postdown; do
    hostile="$work/home/$key.conf"
    { cat "$conf"; printf '[Interface]\n %s = touch %s\n' "$key" "$marker"; } >"$hostile"
    chown "$caller" "$hostile"
    for action in up down; do
        rec=$(as_caller wireguard --wg-action "$action" --conf "$hostile")
        tq8_eq "$key on $action: the step" "wg-quick $action $hostile 1" \
            "$(tq8_field "$rec" 'r["logs"][0]["cmd"], r["logs"][0]["rc"]' | tr -d "(),'")"
        [ -e "$marker" ] && tq8_fail "$key ran on $action"
    done
done
ip link show tq8wg0 >/dev/null 2>&1 && ip link del tq8wg0

# A root-only file named by another user: refused, and not a byte of it comes back.
secret="$work/secret.conf"
printf '[Interface]\nPrivateKey = TQ8SECRETMARKER\nPostUp = x\n' >"$secret"
chmod 600 "$secret"
rec=$(as_caller wireguard --wg-action up --conf "$secret")
case "$rec" in *TQ8SECRET*|*PostUp*) tq8_fail "root-only content leaked: $rec" ;; esac
tq8_eq "root-only file: the step" "1|Yapılandırma dosyası reddedildi: kullanıcı bu dosyayı okuyamıyor (errno 13)." \
    "$(tq8_field "$rec" 'f"{r["logs"][0]["rc"]}|{r["logs"][0]["stderr"]}"')"
rec=$(as_caller wireguard --wg-action up --conf /etc/shadow)
case "$rec" in *root:*) tq8_fail "/etc/shadow leaked: $rec" ;; esac

# --- the reset removes a running tunnel and its copy ------------------------------------------
rec=$(as_caller wireguard --wg-action up --conf "$conf")
tq8_eq "up before the reset" "True wg-quick" "$(tq8_field "$rec" 'r["ok"], r["mode"]' | tr -d "(),'")"
"$helper" reset-network >/dev/null
ip link show tq8wg0 >/dev/null 2>&1 && tq8_fail "tq8wg0 still exists after the reset"
[ -e /run/tq8-wireguard/tq8wg0.conf ] && tq8_fail "private copy left after the reset"

echo "real peer: up ${up_ms} ms, second up ${up2_ms} ms, down ${down_ms} ms"
echo "wireguard real-peer system test passed"
