#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in a build directory of their own and runs each for
# a bounded time.   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
# Default 30 s per target. New inputs that reach further go to a scratch corpus next to the
# build, not into the repository's seeds; a crash leaves its input in the build directory and
# fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
shift || true
targets=("$@")
build=${TQ8_FUZZ_BUILD_DIR:-build-fuzz}
jobs=${TQ8_JOBS:-2}

if [ ! -f "$build/CMakeCache.txt" ]; then
    CC=clang CXX=clang++ cmake -S . -B "$build" -DTQ8_FUZZ=ON -DTQ8_BUILD_TESTS=OFF \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
# The targets are listed once, in fuzz/CMakeLists.txt, which writes them to fuzz/targets.
[ ${#targets[@]} -gt 0 ] || mapfile -t targets <"$build/fuzz/targets"
cmake --build "$build" -j"$jobs" --target $(printf 'fuzz_%s ' "${targets[@]}")

status=0
for t in "${targets[@]}"; do
    work="$build/fuzz-work/$t"
    mkdir -p "$work/corpus" "$work/artifacts"
    echo "== fuzz_$t for ${seconds}s"
    # The first corpus directory receives new inputs; the seeds are read only.
    if ! "$build/fuzz/fuzz_$t" "$work/corpus" "fuzz/corpus/$t" \
            -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=1024 \
            -artifact_prefix="$work/artifacts/" -print_final_stats=1 \
            >"$work/log" 2>&1; then
        echo "FAIL: fuzz_$t found a fault; input and log in $work" >&2
        tail -n 40 "$work/log" >&2
        status=1
        continue
    fi
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+ *DONE)' "$work/log" || true
done
exit $status
