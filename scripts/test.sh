#!/usr/bin/env bash
# Sets up, builds and runs every test: the C++ unit tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, a bounded fuzzing round (its targets built in the sanitizer's
# build directory, so there are two full builds), then the whole suite on the ordinary
# build (unit, module and command, launcher, packaging, system tests as root in throw-away
# namespaces). TQ8_FUZZ_SECONDS sets the fuzzing time per target (default 20).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
scripts/sanitize.sh
# The fuzz targets come from the sanitizer build's directory: two full builds, not three.
TQ8_FUZZ_BUILD_DIR=${TQ8_SANITIZE_BUILD_DIR:-build-sanitize} scripts/fuzz.sh "${TQ8_FUZZ_SECONDS:-20}"
cd "${TQ8_BUILD_DIR:-build}"
ctest --output-on-failure -j"$(nproc)" </dev/null
