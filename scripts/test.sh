#!/usr/bin/env bash
# Sets up, builds and runs every test: the C++ unit tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, a bounded fuzzing round, then the whole suite on the ordinary
# build (unit, module and command, launcher, packaging, system tests as root in throw-away
# namespaces). TQ8_FUZZ_SECONDS sets the fuzzing time per target (default 20).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
scripts/sanitize.sh
scripts/fuzz.sh "${TQ8_FUZZ_SECONDS:-20}"
cd "${TQ8_BUILD_DIR:-build}"
ctest --output-on-failure -j"$(nproc)" </dev/null
