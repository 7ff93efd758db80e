#!/usr/bin/env bash
# The two figures the helper is held to, from one run, side by side: run_cmd(["true"]) against
# the C spawn loop, and the installed command's kill switch with 200 split-tunnel networks
# against the C loop running the same 222 commands (both medians of paired rounds; target
# 1.05 each). Usage: bench/figures.sh [BUILD_DIR] [ROUNDS]. Needs root (the kill switch runs
# in a throw-away namespace) and the staged install (scripts/build.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build}
rounds=${2:-7}
rc=$(bash "$here/run_cmd.sh" "$build" 1000 "$rounds" | awk '/^run_cmd \/ C loop:/ {print $5}')
ks=$(bash "$here/killswitch_bench.sh" "$build" "$rounds" | awk -F'command ' '/^ratio at n=200/ {print $2}')
printf 'run_cmd(["true"]) / C loop:            %s\n' "$rc"
printf 'kill switch n=200, command / C loop:   %s\n' "$ks"
