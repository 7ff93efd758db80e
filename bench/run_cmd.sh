#!/usr/bin/env bash
# Per-call cost of run_cmd({"true"}) against a minimal C spawn loop and against the runtime's
# subprocess.run(capture_output=True), with both ratios. Usage: bench/run_cmd.sh [BUILD_DIR]
# [CALLS_PER_ROUND] [ROUNDS]. The machine may be shared: the rounds alternate between the
# native loops and the runtime's, and the medians over the rounds are printed.
set -euo pipefail
build=${1:-build}
calls=${2:-1000}
rounds=${3:-7}
bench="$build/bench/run_cmd_bench"
# The benchmarks are built only when asked for.
cmake -S "$(dirname "$0")/.." -B "$build" -DTQ8_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target run_cmd_bench >/dev/null
# shellcheck source=/dev/null
source "$build/bench/run_cmd_bench.env"

py_round() {
    "$TQ8_PYTHON" -I -c '
import subprocess, sys, time
n = int(sys.argv[1])
for _ in range(20):
    subprocess.run(["true"], capture_output=True)
t0 = time.perf_counter()
for _ in range(n):
    subprocess.run(["true"], capture_output=True)
print(f"{(time.perf_counter() - t0) * 1000 / n:.4f}")
' "$calls"
}

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

c_all=() ours_all=() py_all=() ratio_c_all=() ratio_py_all=()
for ((r = 1; r <= rounds; r++)); do
    native=$("$bench" "$calls" 1)
    py=$(py_round)
    c=$(awk '/^c_loop_ms/ {print $2}' <<<"$native")
    ours=$(awk '/^run_cmd_ms/ {print $2}' <<<"$native")
    rc=$(awk '/^ratio_c/ {print $2}' <<<"$native")
    rp=$(awk -v o="$ours" -v p="$py" 'BEGIN {printf "%.3f", o / p}')
    printf 'round %d: c_loop %s ms  run_cmd %s ms  subprocess.run %s ms  ratios %s %s\n' \
        "$r" "$c" "$ours" "$py" "$rc" "$rp"
    c_all+=("$c") ours_all+=("$ours") py_all+=("$py") ratio_c_all+=("$rc") ratio_py_all+=("$rp")
done

printf 'C spawn loop:             %s ms/call\n' "$(printf '%s\n' "${c_all[@]}" | median)"
printf 'run_cmd:                  %s ms/call\n' "$(printf '%s\n' "${ours_all[@]}" | median)"
printf 'subprocess.run:           %s ms/call\n' "$(printf '%s\n' "${py_all[@]}" | median)"
printf 'run_cmd / C loop:         %s  (target <= 1.05)\n' "$(printf '%s\n' "${ratio_c_all[@]}" | median)"
printf 'run_cmd / subprocess.run: %s\n' "$(printf '%s\n' "${ratio_py_all[@]}" | median)"
