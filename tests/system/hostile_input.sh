#!/bin/bash
# Input that used to hold the run lock or read for the caller what it should not: split-tunnel
# lists too long or bearing names, and a configuration on procfs. Each is refused at once with
# nothing changed and the lock free.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

tq8_run_sandboxed "$0" "$@"

ms() { echo $(( $(date +%s%N) / 1000000 )); }
lock_free() { flock -n /run/tq8-root-helper.lock true && echo free || echo held; }

# A resolver that never answers: a name handed to iptables would cost its full time-out.
ip address add 198.18.9.53/32 dev lo
printf 'nameserver 198.18.9.53\n' >/etc/resolv.conf
"$py" -c 'import socket, time; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("198.18.9.53", 53)); time.sleep(120)' &
silent=$!
trap 'kill $silent 2>/dev/null || true' EXIT

"$helper" killswitch --enable --split-ips 198.18.7.0/24 >/dev/null
# The filter tables without iptables-save's comments, which carry the time of the snapshot.
firewall() { { iptables-save -t filter; ip6tables-save -t filter; } | grep -v '^#'; }
before=$(firewall)

# The most literal entries one argument holds (16,383, where the limit is 256), names among
# literals, and 100,000 entries through the module (no argument is long enough for them).
many=$("$py" -c 'print(",".join(["1.1.1.1"] * 16383))')
while read -r what list expected; do
    [ "$list" = MANY ] && list=$many
    t0=$(ms)
    rec=$("$helper" killswitch --enable --split-ips "$list")
    took=$(( $(ms) - t0 ))
    tq8_eq "$what: record" "False True 1 split_ips denetimi" \
        "$(tq8_field "$rec" 'r["ok"], r["enabled"], len(r["logs"]), r["logs"][0]["cmd"]' | tr -d "(),'")"
    tq8_eq "$what: reason" "$expected" "$(tq8_field "$rec" 'r["logs"][0]["stderr"].split(":")[0]')"
    [ "$took" -lt 2000 ] || tq8_fail "$what: took $took ms"
    tq8_eq "$what: firewall unchanged" "$before" "$(firewall)"
    tq8_eq "$what: lock free" free "$(lock_free)"
done <<'CASES'
16383-literals MANY Bölünmüş tünel listesi reddedildi
a-name 10.8.0.0/24,slow.example Bölünmüş tünel girdisi reddedildi
a-short-form 1.1.1 Bölünmüş tünel girdisi reddedildi
CASES

took=$("$py" -c 'import sys, time; sys.path[0] = sys.argv[1]; import tq8_root_helper as m
t = time.monotonic(); r = m.manage_killswitch(True, split_ips=["10.0.0.1"] * 100000)
print(r["ok"], r["logs"][0]["cmd"], "slow" if time.monotonic() - t > 2 else "prompt")' "$TQ8_INSTALL_DIR")
tq8_eq "100,000 entries through the module" "False split_ips denetimi prompt" "$took"
tq8_eq "100,000 entries: firewall unchanged" "$before" "$(firewall)"

# A refused switch-on never stands in the way of a switch-off.
rec=$("$helper" killswitch --disable --split-ips slow.example)
tq8_eq "switch-off with a name in the list" True "$(tq8_field "$rec" 'r["ok"]')"
tq8_eq "switch-off: chain gone" 0 "$(iptables -S | grep -c TQ8_KILLSWITCH || true)"

# procfs as the configuration: refused; the reading child's memory map never reaches the record.
rec=$("$helper" wireguard --wg-action up --conf /proc/self/maps)
tq8_eq "/proc/self/maps: refusal" \
    "Yapılandırma dosyası reddedildi: /proc, /sys gibi bir çekirdek dosya sisteminde." \
    "$(tq8_field "$rec" 'r["logs"][0]["stderr"]')"
if grep -Eq 'r-xp|r--p|\[heap\]|\[stack\]' <<<"$rec"; then tq8_fail "a memory map in: $rec"; fi

echo "hostile input: all passed"
