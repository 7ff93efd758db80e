"""Measures the guard beside its floors; started by guard_bench.sh inside a sandbox."""
import glob
import statistics
import subprocess
import sys
import time

helper, minloop, spawner, idle_s, rounds = sys.argv[1:4] + [float(sys.argv[4]), int(sys.argv[5])]
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


def start_guard():
    p = subprocess.Popen([helper, "dns-guard"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    line = p.stdout.readline()
    if line != b"HAZIR\n":
        sys.exit(f"guard did not start: {line!r}")
    return p


# --- idle ---------------------------------------------------------------------------------------
guard = start_guard()
floor = subprocess.Popen([minloop], stdin=subprocess.PIPE)
time.sleep(1)
g0, f0 = cpu_ns(guard.pid), cpu_ns(floor.pid)
time.sleep(idle_s)
g1, f1 = cpu_ns(guard.pid), cpu_ns(floor.pid)
g_rss, f_rss = rss_kib(guard.pid), rss_kib(floor.pid)
alive = guard.poll() is None and floor.poll() is None
for p in (guard, floor):
    p.stdin.close()
    p.wait()
if not alive:
    sys.exit("a watcher ended during the idle measurement (shield not answering?)")
per_hour = 3600.0 / idle_s / 1e9
g_h, f_h = (g1 - g0) * per_hour, (f1 - f0) * per_hour
print(f"idle over {idle_s:.0f} s, extrapolated to one hour:")
print(f"  dns-guard       {g_h:8.3f} CPU-s/h   RSS {g_rss} KiB")
print(f"  minimal C loop  {f_h:8.3f} CPU-s/h   RSS {f_rss} KiB")
print(f"  ratio           {g_h / f_h:8.2f}x  (target <= 1.25x)")

# --- end of input to exit -----------------------------------------------------------------------
guard_ms, floor_ms = [], []
for _ in range(rounds):
    g = start_guard()
    time.sleep(0.2)
    t0 = time.perf_counter()
    g.stdin.close()
    g.wait()
    guard_ms.append((time.perf_counter() - t0) * 1000)
    subprocess.run(["iptables", "-w", "5", "-t", "nat", "-I"] + RULE, check=True)
    out = subprocess.run([spawner], check=True, capture_output=True, text=True).stdout
    floor_ms.append(int(out) / 1000)
left = subprocess.run(["iptables", "-t", "nat", "-C"] + RULE, capture_output=True).returncode
if left == 0:
    sys.exit("a redirect was left behind")
gm, fm = statistics.median(guard_ms), statistics.median(floor_ms)
print(f"end of input to exit, median of {rounds}:")
print(f"  dns-guard       {gm:8.2f} ms")
print(f"  C spawner       {fm:8.2f} ms  (check, delete, check, flush)")
print(f"  ratio           {gm / fm:8.2f}x  (target <= 1.2x)")
