#!/usr/bin/env bash
# The tour's steps, run inside the sandbox by scripts/tour.sh.
set -euo pipefail
source "$(dirname "$0")/../tests/system/lib.sh"
tq8_in_sandbox
h="$TQ8_STAGE/tq8_root_helper"

show() { echo; echo "\$ tq8_root_helper $*"; "$h" "$@" || echo "(exit status $?)"; }

show --help
show dns-off
