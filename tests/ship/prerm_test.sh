#!/bin/bash
# The package's pre-removal step against the real iptables: on removal the kill switch chain and
# the DNS redirect go and nothing else does; on upgrade nothing changes; a helper that is missing
# or fails never fails the removal.
set -euo pipefail
source "$(dirname "$0")/../system/lib.sh"

tq8_run_sandboxed "$0" "$@"

prerm="$TQ8_SOURCE_DIR/packaging/prerm"
tq8_scratch prerm

# What the application leaves while it runs: the chain with its jump at the top of OUTPUT, the
# nat redirect to the shield, plus state that only a full reset would touch.
install_state() {
    iptables -N TQ8_KILLSWITCH
    iptables -A TQ8_KILLSWITCH -o lo -j ACCEPT
    iptables -A TQ8_KILLSWITCH -p udp --dport 53 -j REJECT
    iptables -I OUTPUT 1 -j TQ8_KILLSWITCH
    iptables -t nat -I OUTPUT -p udp -d 127.0.0.53 --dport 53 -j DNAT --to-destination 127.0.0.1:5354
    iptables -A OUTPUT -d 198.18.0.1/32 -j ACCEPT
    iptables -t mangle -A POSTROUTING -p tcp --tcp-flags SYN,RST SYN -j TCPMSS --clamp-mss-to-pmtu
    ip6tables -N TQ8_KILLSWITCH
    ip6tables -A TQ8_KILLSWITCH -p udp --dport 53 -j REJECT
    ip6tables -I OUTPUT 1 -j TQ8_KILLSWITCH
    ip6tables -A OUTPUT -d 2001:db8::1/128 -j ACCEPT
}
firewall() { { iptables-save; ip6tables-save; } | grep -v '^#' | sed 's/\[[0-9]*:[0-9]*\]//'; }

# Inside the sandbox /etc is an overlay; a link into /run would dangle here, so replace it.
rm -f /etc/resolv.conf
echo "nameserver 127.0.0.53  # tq8 prerm test" > /etc/resolv.conf
ip link add tq8wg0 type veth peer name tq8wg0p

# Removal: exactly the chain, its jump and the redirect go.
install_state
before=$(firewall)
out=$(TQ8_HELPER="$TQ8_INSTALL_DIR/tq8_root_helper" sh "$prerm" remove 2>&1) \
    || tq8_fail "prerm remove failed"
tq8_eq "prerm remove output" "" "$out"
iptables -S TQ8_KILLSWITCH >/dev/null 2>&1 && tq8_fail "TQ8_KILLSWITCH still exists"
iptables -S OUTPUT | grep -q TQ8_KILLSWITCH && tq8_fail "OUTPUT still jumps to TQ8_KILLSWITCH"
iptables -t nat -S OUTPUT | grep -q DNAT && tq8_fail "the DNS redirect is still there"
ip6tables -S TQ8_KILLSWITCH >/dev/null 2>&1 && tq8_fail "the IPv6 TQ8_KILLSWITCH still exists"
tq8_eq "the rest of the IPv6 firewall" $'-P OUTPUT ACCEPT\n-A OUTPUT -d 2001:db8::1/128 -j ACCEPT' \
    "$(ip6tables -S OUTPUT)"
expected=$(printf '%s\n' "$before" | grep -v -e TQ8_KILLSWITCH -e 'DNAT')
tq8_eq "the rest of the firewall" "$expected" "$(firewall)"
tq8_eq "resolv.conf" "nameserver 127.0.0.53  # tq8 prerm test" "$(cat /etc/resolv.conf)"
ip link show tq8wg0 >/dev/null 2>&1 || tq8_fail "the tunnel link was removed"

# A second removal attempt (dpkg retries after a failed removal) finds nothing and still ends 0.
TQ8_HELPER="$TQ8_INSTALL_DIR/tq8_root_helper" sh "$prerm" remove || tq8_fail "second remove failed"

# Upgrade and the other calls leave the user's protection in place.
iptables -F OUTPUT; iptables -t nat -F OUTPUT; iptables -t mangle -F POSTROUTING; ip6tables -F OUTPUT
install_state
before=$(firewall)
for arg in upgrade failed-upgrade ""; do
    TQ8_HELPER="$TQ8_INSTALL_DIR/tq8_root_helper" sh "$prerm" $arg || tq8_fail "prerm '$arg' failed"
    tq8_eq "firewall after prerm '$arg'" "$before" "$(firewall)"
done

# A helper that is missing, or that fails loudly, neither fails the removal nor talks.
cat > "$work/broken_helper" <<'SH'
#!/bin/sh
echo '{"ok": false}'; echo "Traceback: something" >&2; exit 1
SH
chmod +x "$work/broken_helper"
for h in "$work/missing" "$work/broken_helper"; do
    out=$(TQ8_HELPER="$h" sh "$prerm" remove 2>&1) || tq8_fail "prerm failed with helper $h"
    tq8_eq "prerm output with helper $h" "" "$out"
done
tq8_eq "firewall after failed clean-ups" "$before" "$(firewall)"
echo "prerm: ok"
