# Shared pieces of the reset's system tests: running the installed command with a chosen set
# of programs on PATH, and reading its JSON line.

: "${TQ8_INSTALL_DIR:?set by CTest: the staged install}"
: "${TQ8_PYTHON:?set by CTest: python3.12}"

# reset_bin_dir DIR: a PATH directory holding only ip and iptables, so that resolvectl and
# systemctl are missing whatever the machine has (the real ones must never run from a test).
reset_bin_dir() {
    mkdir -p "$1"
    local prog
    for prog in ip iptables; do
        ln -sf "$(command -v "$prog")" "$1/$prog"
    done
}

# reset_fake DIR NAME RC OUT ERR: a stand-in program that records its arguments in DIR/NAME.args
# and answers with the given output, error text and status.
reset_fake() {
    cat >"$1/$2" <<EOF
#!/bin/sh
echo "\$*" >>"$1/$2.args"
echo "$4"
echo "$5" >&2
exit $3
EOF
    chmod 755 "$1/$2"
}

# reset_run PATH: runs "tq8_root_helper reset-network" with that PATH and prints the record as
# "ok" (or "NOT OK") followed by one line per log entry: cmd, rc, stdout, stderr joined by tabs.
# Fails unless the command exits 0 with exactly one JSON line whose keys are in record order.
reset_run() {
    local out status=0
    out=$(env PATH="$1" "$TQ8_INSTALL_DIR/tq8_root_helper" reset-network) || status=$?
    tq8_eq "reset-network exit status" 0 "$status"
    printf '%s\n' "$out" | "$TQ8_PYTHON" -c '
import json, sys
lines = sys.stdin.read().splitlines()
assert len(lines) == 1, lines
record = json.loads(lines[0])
assert list(record) == ["ok", "logs"], list(record)
print("ok" if record["ok"] is True else "NOT OK")
for entry in record["logs"]:
    assert list(entry) == ["cmd", "rc", "stdout", "stderr"], list(entry)
    print("\t".join([entry["cmd"], str(entry["rc"]), entry["stdout"], entry["stderr"]]))
'
}

# reset_entry SUMMARY N: the Nth line of a reset_run summary (0 is the "ok" line).
reset_entry() { printf '%s\n' "$1" | sed -n "$(($2 + 1))p"; }

# Tab-joined expected entries.
RESET_TAB=$'\t'
RESET_E1="iptables flush TQ8_KILLSWITCH & TCPMSS${RESET_TAB}0${RESET_TAB}Temizlendi${RESET_TAB}"
RESET_E2A="ln -sf /run/systemd/resolve/stub-resolv.conf /etc/resolv.conf${RESET_TAB}0${RESET_TAB}Orijinal systemd-resolved bağlantısı onarıldı.${RESET_TAB}"
RESET_E2B="write /etc/resolv.conf${RESET_TAB}0${RESET_TAB}Cloudflare & Quad9 DNS yazıldı.${RESET_TAB}"
RESET_STUB=/run/systemd/resolve/stub-resolv.conf

# reset_has_fallback PATH: PATH is a regular file, mode 0644, holding exactly the two resolvers.
reset_has_fallback() {
    [ -f "$1" ] && [ ! -L "$1" ] || tq8_fail "$1 is not a regular file"
    printf 'nameserver 1.1.1.1\nnameserver 9.9.9.9\n' | cmp -s - "$1" ||
        tq8_fail "$1 does not hold the fallback resolvers: $(cat "$1")"
    tq8_eq "mode of $1" 644 "$(stat -c %a "$1")"
}

# reset_serve_stub FLAGFILE: a socket bound where resolved's stub listens, in the background
# (this sandbox's own network namespace, so its own UDP table): the reset links to the stub
# only while one is there. Sets reset_stub_pid.
reset_serve_stub() {
    "$TQ8_PYTHON" -c '
import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.53", 53))
open(sys.argv[1], "w").close(); time.sleep(3600)' "$1" &
    reset_stub_pid=$!
    for _ in $(seq 100); do [ -e "$1" ] && break; sleep 0.05; done
    grep -q ' 3500007F:0035 ' /proc/net/udp || tq8_fail "no socket on 127.0.0.53:53"
}
