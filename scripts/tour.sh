#!/usr/bin/env bash
# Sets up, builds, and shows the helper at work inside a throw-away network and mount
# namespace. The host's own network, firewall and files are never touched.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
stage="$PWD/${TQ8_BUILD_DIR:-build}/stage"
echo
echo "== Sandbox tour: everything below runs in a private network and mount namespace;"
echo "   the host's interfaces, firewall and /etc are never touched."
source scripts/lib/sandbox.sh
tq8_require_root
py=$(cat "${TQ8_BUILD_DIR:-build}/python3.12.path")
tq8_sandbox env TQ8_STAGE="$stage" TQ8_PYTHON="$py" bash scripts/tour_inside.sh
