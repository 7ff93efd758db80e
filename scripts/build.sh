#!/usr/bin/env bash
# Configures and builds into build/ (or $TQ8_BUILD_DIR) and installs into its stage/ directory.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${TQ8_BUILD_DIR:-build}
# Configure output stays visible: CMake's own warnings are worth reading.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
cmake --build "$build" -j"$(nproc)"
cmake --install "$build" --prefix "$build/stage" >/dev/null
echo "Installed into $build/stage"
