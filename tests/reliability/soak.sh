#!/bin/bash
# Soak: a guard left running against a live fake shield, with a line on its input every
# second, keeps its descriptor count and its resident memory. TQ8_SOAK_SECONDS sets the length
# (20 s by default; 600 for the long run).
set -euo pipefail
source "$(dirname "$0")/../system/lib.sh"

tq8_run_sandboxed "$0" "$@"

seconds=${TQ8_SOAK_SECONDS:-20}
tq8_scratch soak "" dns_cleanup
source "$here/../system/dns_lib.sh"

mkdir "$work/bin"
printf '#!/bin/sh\nexit 0\n' >"$work/bin/resolvectl"
chmod +x "$work/bin/resolvectl"
export PATH="$work/bin:$PATH"
printf 'nameserver 127.0.0.53\n' >"$work/resolv.conf.new"
mv "$work/resolv.conf.new" /etc/resolv.conf

fds() { ls "/proc/$guard_pid/fd" | wc -l; }
rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$guard_pid/status"; }

start_shield 0 --log "$work/queries"
start_guard
wait_for_ready
# The first health checks settle the runtime's caches; measure from after them.
for _ in 1 2 3 4 5 6; do echo ping >&7; sleep 1; done
fd0=$(fds); rss0=$(rss_kb)
fd_max=$fd0; rss_max=$rss0
for ((t = 0; t < seconds; t++)); do
    echo "ping $t" >&7
    sleep 1
    kill -0 "$guard_pid" 2>/dev/null || tq8_fail "the guard ended after $t s of soak"
    f=$(fds); r=$(rss_kb)
    ((f > fd_max)) && fd_max=$f
    ((r > rss_max)) && rss_max=$r
done
fd1=$(fds); rss1=$(rss_kb)
checks=$(wc -l <"$work/queries")
tq8_eq "redirect copies while the guard runs" 1 "$(redirect_copies)"
exec 7>&-
wait_guard 15
tq8_eq "guard status" 0 "$guard_rc"
tq8_eq "redirect copies after the guard" 0 "$(redirect_copies)"
grep -q Traceback "$work/guard.err" && tq8_fail "the guard crashed"

echo "soak: ${seconds}s, $checks health-check queries answered;" \
     "descriptors $fd0 -> $fd1 (max $fd_max); VmRSS ${rss0} kB -> ${rss1} kB (max ${rss_max} kB)"
tq8_eq "descriptors at the end" "$fd0" "$fd1"
# A probe's socket may be open at the moment of a sample; nothing more.
((fd_max <= fd0 + 1)) || tq8_fail "descriptors rose to $fd_max from $fd0"
# Allocator noise stays within a few pages; a leak of even 1 kB per check over 10 minutes would
# not.
((rss1 - rss0 <= 64)) || tq8_fail "VmRSS grew by $((rss1 - rss0)) kB"
