#!/bin/bash
# The DNS guard's two costs, each beside its floor in one run (root; runs in a sandbox):
#   idle:  CPU time per idle hour and resident memory of the installed command's dns-guard
#          against guard_minloop.c (only the 5 s wait and the two probes), both watching one
#          live fake shield;
#   exit:  end of input to process exit against guard_spawner.c running the clean-up's own
#          commands (check, delete, check, cache flush) back to back.
# usage: bench/guard_bench.sh [IDLE_SECONDS (default 60)] [EXIT_ROUNDS (default 30)]
# Needs TQ8_INSTALL_DIR (a staged install) and TQ8_PYTHON; with TQ8_BUILD_DIR (its
# libhelper_lib.a) the library's guard without the runtime is measured too. A fast fake
# resolvectl is put first on PATH for every side, since the sandbox has no resolver to flush.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../scripts/lib/sandbox.sh"

if [ -z "${TQ8_IN_SANDBOX:-}" ]; then
    tq8_require_root
    tq8_sandbox bash "$0" "$@"
    exit $?
fi
tq8_in_sandbox

py="${TQ8_PYTHON:-python3.12}"
work=$(mktemp -d /tmp/tq8-guard-bench.XXXXXX)
shield_pid=
cleanup() {
    [ -n "$shield_pid" ] && kill "$shield_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

cc -O2 -o "$work/minloop" "$here/guard_minloop.c"
cc -O2 -o "$work/spawner" "$here/guard_spawner.c"
driver=
if [ -n "${TQ8_BUILD_DIR:-}" ] && [ -e "$TQ8_BUILD_DIR/libhelper_lib.a" ]; then
    driver="$work/driver"
    c++ -std=c++20 -O2 -I"$here/.." -o "$driver" "$here/guard_driver.cpp" \
        "$TQ8_BUILD_DIR/libhelper_lib.a"
fi
mkdir "$work/bin"
echo 'int main(void) { return 0; }' >"$work/true.c"
cc -O2 -o "$work/bin/resolvectl" "$work/true.c"
export PATH="$work/bin:$PATH"

echo "nameserver 127.0.0.53" >/etc/resolv.conf
"$py" "$here/../scripts/lib/fake_shield.py" --ready "$work/ready" &
shield_pid=$!
for _ in $(seq 100); do [ -e "$work/ready" ] && break; sleep 0.05; done

"$py" "$here/guard_bench.py" "$TQ8_INSTALL_DIR/tq8_root_helper" "$work/minloop" \
    "$work/spawner" "${1:-60}" "${2:-30}" $driver
