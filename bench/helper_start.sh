#!/usr/bin/env bash
# Start-up cost of the tq8_root_helper command: wall time of `--help` and of `dns-off` (with a
# fake iptables that answers at once) against `python3.12 -I -c "import argparse, json"`, the
# floor of a front end built on the runtime's argparse and json.
# Usage: bench/helper_start.sh [BUILD_DIR] [RUNS_PER_ROUND] [ROUNDS]
# The three commands take turns within each round, so a machine shared with other work slows
# them alike; the medians over all runs and their ratios are printed.
set -euo pipefail
# dns-off takes the helper's run lock under /run: give it a private /run so that nothing is
# left behind on the host.
if [[ -z ${TQ8_PRIVATE_RUN:-} ]]; then
    TQ8_PRIVATE_RUN=1 exec bash "$(dirname "$0")/../tests/private_run.sh" bash "$0" "$@"
fi
build=${1:-build}
runs=${2:-40}
rounds=${3:-5}
helper="$build/stage/tq8_root_helper"
[[ -x $helper ]] || { echo "stage the install first: cmake --install $build --prefix $build/stage" >&2; exit 1; }
# The interpreter of the runtime the helper links: $TQ8_PYTHON, else the one CMake found.
python=${TQ8_PYTHON:-}
if [[ -z $python && -f $build/bench/run_cmd_bench.env ]]; then
    # shellcheck source=/dev/null
    source "$build/bench/run_cmd_bench.env"
    python=$TQ8_PYTHON
fi
if [[ -z $python ]]; then
    libdir=$(dirname "$(ldd "$helper" | awk '/libpython3.12/ {print $3}')")
    python="$libdir/../bin/python3.12"
fi
[[ -x $python ]] || { echo "no python3.12 found; set TQ8_PYTHON" >&2; exit 1; }

work=$(mktemp -d /tmp/tq8-helper-start.XXXXXX)
trap 'rm -rf "$work"' EXIT
# The fake iptables: a compiled program that fails at once, so dns-off runs one check,
# finds no redirect and ends; PATH holds nothing else.
mkdir "$work/bin"
if command -v cc >/dev/null; then
    printf 'int main(void) { return 1; }\n' >"$work/fake.c"
    cc -O2 -o "$work/bin/iptables" "$work/fake.c"
else
    printf '#!/bin/sh\nexit 1\n' >"$work/bin/iptables"
    chmod +x "$work/bin/iptables"
fi
[[ $(PATH="$work/bin" "$helper" dns-off) == '{"ok": true}' ]] || { echo "dns-off did not run as expected" >&2; exit 1; }

"$python" -I - "$runs" "$rounds" "$python" "$helper" "$work/bin" <<'PY'
import os, statistics, sys, time

runs, rounds = int(sys.argv[1]), int(sys.argv[2])
python, helper, fake_bin = sys.argv[3:6]
env = dict(os.environ)
fake_env = dict(os.environ, PATH=fake_bin)
commands = {
    "python3.12 -I -c 'import argparse, json'": ([python, "-I", "-c", "import argparse, json"], env),
    "tq8_root_helper --help": ([helper, "--help"], env),
    "tq8_root_helper dns-off": ([helper, "dns-off"], fake_env),
}
devnull = os.open(os.devnull, os.O_WRONLY)
actions = [(os.POSIX_SPAWN_DUP2, devnull, 1)]

def once(argv, e):
    t0 = time.perf_counter()
    pid = os.posix_spawn(argv[0], argv, e, file_actions=actions)
    os.waitpid(pid, 0)
    return time.perf_counter() - t0

times = {name: [] for name in commands}
for argv, e in commands.values():
    for _ in range(3):
        once(argv, e)          # warm the page cache
for _ in range(rounds):
    for _ in range(runs):
        for name, (argv, e) in commands.items():
            times[name].append(once(argv, e))

base = statistics.median(times[next(iter(commands))])
for name, t in times.items():
    m = statistics.median(t)
    print(f"{name:45s} median {m * 1000:7.2f} ms  ratio {m / base:5.3f}")
print("target: both helper ratios <= 1.25")
PY
