#!/usr/bin/env bash
# Sets up, builds and runs every test: unit, module and command, launcher, system (as root,
# in throw-away namespaces).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
cd "${TQ8_BUILD_DIR:-build}"
ctest --output-on-failure -j"$(nproc)" </dev/null
