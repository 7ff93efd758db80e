#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer in a build directory of
# its own and runs the C++ unit tests under them. With clang the directory is configured for
# the fuzz targets too (scripts/fuzz.sh can then use it: TQ8_FUZZ_BUILD_DIR).
# Only the unit tests: the extension module built with ASan cannot be loaded by an interpreter
# that was not, so the module, command and system rings run in the ordinary build.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${TQ8_SANITIZE_BUILD_DIR:-build-sanitize}
jobs=${TQ8_JOBS:-2}

# With clang the same build directory also holds the libFuzzer targets (TQ8_FUZZ), so the test
# command's fuzz round builds only them here instead of configuring a third full build.
fuzz=()
if [ ! -f "$build/CMakeCache.txt" ] && command -v clang++ >/dev/null; then
    export CC=clang CXX=clang++
    fuzz=(-DTQ8_FUZZ=ON)
fi
cmake -S . -B "$build" -DTQ8_SANITIZE=ON -DTQ8_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Debug "${fuzz[@]}"
cmake --build "$build" -j"$jobs"

# Leaks count as failures; a sanitizer report ends the test that triggered it.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$build" -L unit --output-on-failure -j"$jobs" </dev/null
