#!/usr/bin/env bash
# Kill switch switch-on (n = 0, 50, 200 split-tunnel networks) against the same iptables
# commands run by the minimal C spawn loop, with the real iptables inside a throw-away
# namespace. Usage: bench/killswitch_bench.sh [BUILD_DIR] [ROUNDS]. Needs root. The installed
# command is measured too when BUILD_DIR/stage holds it (cmake --install BUILD_DIR --prefix
# BUILD_DIR/stage).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
rounds=${2:-5}
bench="$build/bench/killswitch_bench"
# The benchmarks are built only when asked for.
cmake -S "$here/.." -B "$build" -DTQ8_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target killswitch_bench >/dev/null
# shellcheck source=/dev/null
source "$here/../scripts/lib/sandbox.sh"
tq8_require_root
tq8_sandbox "$bench" --helper "$build/stage/tq8_root_helper" --rounds "$rounds"
