#!/usr/bin/env bash
# Per-call cost of run_cmd({"true"}) against a minimal C spawn loop and against the runtime's
# subprocess.run(capture_output=True), with both ratios. Usage: bench/run_cmd.sh [BUILD_DIR]
# [CALLS_PER_ROUND] [ROUNDS]. The machine is shared: the medians of several rounds are printed.
set -euo pipefail
build=${1:-build}
calls=${2:-1000}
rounds=${3:-7}
bench="$build/bench/run_cmd_bench"
[[ -x $bench ]] || { echo "build $bench first: cmake --build $build --target run_cmd_bench" >&2; exit 1; }
# shellcheck source=/dev/null
source "$build/bench/run_cmd_bench.env"

native=$("$bench" "$calls" "$rounds")
echo "$native" | grep '^round'
c_ms=$(echo "$native" | awk '/^c_loop_ms/ {print $2}')
ours_ms=$(echo "$native" | awk '/^run_cmd_ms/ {print $2}')
ratio_c=$(echo "$native" | awk '/^ratio_c/ {print $2}')

py_ms=$("$TQ8_PYTHON" -I -c '
import statistics, subprocess, sys, time
n, rounds = int(sys.argv[1]), int(sys.argv[2])
for _ in range(50):
    subprocess.run(["true"], capture_output=True)
per_call = []
for _ in range(rounds):
    t0 = time.perf_counter()
    for _ in range(n):
        subprocess.run(["true"], capture_output=True)
    per_call.append((time.perf_counter() - t0) * 1000 / n)
print(f"{statistics.median(per_call):.4f}")
' "$calls" "$rounds")

awk -v c="$c_ms" -v o="$ours_ms" -v p="$py_ms" -v r="$ratio_c" 'BEGIN {
    printf "C spawn loop:            %.4f ms/call\n", c
    printf "run_cmd:                 %.4f ms/call\n", o
    printf "subprocess.run:          %.4f ms/call\n", p
    printf "run_cmd / C loop:        %.3f  (target <= 1.10; median of paired rounds)\n", r
    printf "run_cmd / subprocess.run %.3f\n", o / p
}'
