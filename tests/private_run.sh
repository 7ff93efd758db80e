#!/usr/bin/env bash
# Runs a test command with a private tmpfs over /run when it can (as root): the helper's
# operations take their lock file under /run, and tests running them with fake programs must
# leave nothing behind on the host.
if [ "$(id -u)" = 0 ] && unshare -m --propagation private true 2>/dev/null; then
    exec unshare -m --propagation private -- bash -c 'mount -t tmpfs tq8-test-run /run && exec "$@"' tq8-private-run "$@"
fi
exec "$@"
