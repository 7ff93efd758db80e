"""Measures the guard beside its floors; started by guard_bench.sh inside a sandbox.

argv: helper minloop spawner idle_seconds exit_rounds [library_driver]
"""
import glob
import statistics
import subprocess
import sys
import time

helper, minloop, spawner = sys.argv[1:4]
idle_s, rounds = float(sys.argv[4]), int(sys.argv[5])
guards = [("dns-guard", [helper, "dns-guard"])]
if len(sys.argv) > 6:
    guards.append(("library only", [sys.argv[6]]))
RULE = ["OUTPUT", "-p", "udp", "-d", "127.0.0.53", "--dport", "53", "-j", "DNAT",
        "--to-destination", "127.0.0.1:5354"]


def cpu_ns(pid):
    # schedstat's run time is in nanoseconds; utime/stime ticks are too coarse for a loop
    # that wakes a dozen times a minute.
    return sum(int(open(t).read().split()[0]) for t in glob.glob(f"/proc/{pid}/task/*/schedstat"))


def rss_kib(pid):
    for line in open(f"/proc/{pid}/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1])


def start_guard(argv):
    p = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    line = p.stdout.readline()
    if line != b"HAZIR\n":
        sys.exit(f"{argv[0]} did not start: {line!r}")
    return p


# --- idle: every watcher at once on the same shield ----------------------------------------------
# Starts are spread over the 5 s period so that no two watchers wake together: watchers that wake
# in the same instant queue at the one shield and on two cores, and that contention is charged to
# whichever of them it hits (a run with simultaneous starts put 2x on one side and nothing on the
# other), which says nothing about the watchers themselves.
watchers = [(label, lambda argv=argv: start_guard(argv)) for label, argv in guards]
watchers.append(("minimal C loop", lambda: subprocess.Popen([minloop], stdin=subprocess.PIPE)))
procs = []
for label, start in watchers:
    procs.append((label, start()))
    time.sleep(5.0 / len(watchers))
time.sleep(1)
before = [cpu_ns(p.pid) for _, p in procs]
time.sleep(idle_s)
after = [cpu_ns(p.pid) for _, p in procs]
rss = [rss_kib(p.pid) for _, p in procs]
alive = all(p.poll() is None for _, p in procs)
for _, p in procs:
    p.stdin.close()
    p.wait()
if not alive:
    sys.exit("a watcher ended during the idle measurement (shield not answering?)")
per_hour = [(a - b) * 3600.0 / idle_s / 1e9 for a, b in zip(after, before)]
floor_h = per_hour[-1]
print(f"idle over {idle_s:.0f} s, extrapolated to one hour:")
for (label, _), h, r in zip(procs, per_hour, rss):
    print(f"  {label:15} {h:8.3f} CPU-s/h  {h / floor_h:5.2f}x   RSS {r} KiB")
print("  (target: dns-guard <= 1.25x the minimal C loop)")

# --- end of input to exit, rounds interleaved so that load hits every side alike ------------------
# Every side is timed the same way, from closing its standard input to having reaped it, the C
# spawner included (it waits for its end of input too, then runs the four commands and exits).
# The spawner's own clock over the four commands alone is printed beside it.
def end_to_exit(argv):
    g = start_guard(argv)
    time.sleep(0.2)
    t0 = time.perf_counter()
    g.stdin.close()
    g.wait()
    elapsed = (time.perf_counter() - t0) * 1000
    return elapsed, g.stdout.read()


times = {label: [] for label, _ in guards}
floor_ms, commands_ms = [], []
for _ in range(rounds):
    for label, argv in guards:
        times[label].append(end_to_exit(argv)[0])
    subprocess.run(["iptables", "-w", "5", "-t", "nat", "-I"] + RULE, check=True)
    elapsed, out = end_to_exit([spawner])
    floor_ms.append(elapsed)
    commands_ms.append(int(out) / 1000)
if subprocess.run(["iptables", "-t", "nat", "-C"] + RULE, capture_output=True).returncode == 0:
    sys.exit("a redirect was left behind")
fmed, fmin = statistics.median(floor_ms), min(floor_ms)
print(f"end of input to exit over {rounds} rounds (median / fastest):")
for label, ms in times.items():
    med, low = statistics.median(ms), min(ms)
    print(f"  {label:15} {med:7.2f} / {low:6.2f} ms   {med / fmed:5.2f}x / {low / fmin:5.2f}x")
print(f"  {'C spawner':15} {fmed:7.2f} / {fmin:6.2f} ms   (check, delete, check, flush)")
print(f"  {'  its commands':15} {statistics.median(commands_ms):7.2f} / {min(commands_ms):6.2f} ms"
      "   (the spawner's own clock, without its wake-up and exit)")
print("  (target: dns-guard <= 1.2x the C spawner)")
