#!/bin/bash
# The shield probes through the installed module against a real socket table and a fake
# shield: whose socket counts, and which replies count as an answer.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

tq8_run_sandboxed "$0" "$@"

# the shield may run as another user
tq8_scratch dns-probes 1777 dns_cleanup
source "$here/dns_lib.sh"

# --- _shield_listening: owner and address ----------------------------------------------------
# shield uid | bind address | PKEXEC_UID (unset, empty or a number) | expected
while read -r uid addr pkexec expected; do
    start_shield "$uid" --addr "$addr"
    case $pkexec in
        unset) got=$(unset PKEXEC_UID; module _shield_listening) ;;
        empty) got=$(PKEXEC_UID='' module _shield_listening) ;;
        *) got=$(PKEXEC_UID=$pkexec module _shield_listening) ;;
    esac
    tq8_eq "_shield_listening: shield uid $uid on $addr, PKEXEC_UID $pkexec" "$expected" "$got"
    stop_shield
done <<'CASES'
0     127.0.0.1 1000  True
0     127.0.0.1 unset True
1000  127.0.0.1 1000  True
1000  127.0.0.1 unset False
1000  127.0.0.1 empty False
65534 127.0.0.1 1000  False
0     0.0.0.0   1000  False
1000  0.0.0.0   1000  False
CASES

tq8_eq "_shield_listening: nothing bound" False "$(PKEXEC_UID=1000 module _shield_listening)"

# --- _shield_answers: answering, wrong ID, silent, stopped, gone ------------------------------
while read -r mode expected; do
    start_shield 1000 --mode "$mode"
    tq8_eq "_shield_answers: $mode shield" "$expected" "$(module _shield_answers)"
    stop_shield
done <<'CASES'
answer   True
wrong-id False
silent   False
CASES

start_shield 1000
kill -STOP "$shield_pid"
tq8_eq "_shield_listening: stopped shield still owns its socket" True \
    "$(PKEXEC_UID=1000 module _shield_listening)"
tq8_eq "_shield_answers: stopped shield" False "$(module _shield_answers)"
kill -CONT "$shield_pid"
tq8_eq "_shield_answers: shield continued" True "$(module _shield_answers)"
stop_shield

# A refused port is reported by the kernel at once; waiting out the 3 s would mean the
# refusal was missed.
took=$("$py" -c 'import sys, time; sys.path[0] = sys.argv[1]; import tq8_root_helper as m
t = time.monotonic(); r = m._shield_answers(); print(r, "slow" if time.monotonic() - t > 2.5 else "prompt")' \
    "$TQ8_INSTALL_DIR")
tq8_eq "_shield_answers: nothing bound" "False prompt" "$took"

echo "dns probes: all passed"
