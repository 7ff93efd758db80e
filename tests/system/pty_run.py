"""Runs a command as a terminal user runs it: the foreground job of a new session whose
controlling terminal is a pty we hold, and types one key into that terminal after a while.

usage: pty_run.py AFTER KEY_HEX LIMIT OUTPUT CMD...
KEY_HEX "hup" hangs the terminal up instead (the master closed), as a closed terminal window.
Prints "<status> <seconds> <state>": the exit status (minus the signal number), the seconds
from the start to the end, and the process state (/proc/PID/stat) half a second after the
key; "running" as status when it had not ended after LIMIT seconds (it is then killed).
Everything the command wrote to the terminal goes to OUTPUT."""
import os
import pty
import select
import sys
import time

after, limit, output = float(sys.argv[1]), float(sys.argv[3]), sys.argv[4]
key = None if sys.argv[2] == "hup" else bytes.fromhex(sys.argv[2])
cmd = sys.argv[5:]
pid, master = pty.fork()
if pid == 0:
    os.execvp(cmd[0], cmd)

start = time.monotonic()
state, status, data = "-", "running", b""
sent = None
while time.monotonic() - start < limit:
    now = time.monotonic() - start
    if sent is None and now >= after:
        if key is None:
            os.close(master)
            master = os.open("/dev/null", os.O_RDONLY)
        else:
            os.write(master, key)
        sent = now
    if sent is not None and state == "-" and now >= sent + 0.5:
        try:
            with open(f"/proc/{pid}/stat") as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
        except OSError:
            state = "gone"
    ready, _, _ = select.select([master], [], [], 0.05)
    if ready:
        try:
            data += os.read(master, 65536)
        except OSError:  # EIO: the terminal's last user closed it
            pass
    done, st = os.waitpid(pid, os.WNOHANG)
    if done:
        status = str(os.waitstatus_to_exitcode(st))
        break
elapsed = time.monotonic() - start
if status == "running":
    os.kill(pid, 9)
while select.select([master], [], [], 0.1)[0]:
    try:
        chunk = os.read(master, 65536)
    except OSError:
        break
    if not chunk:
        break
    data += chunk
with open(output, "wb") as f:
    f.write(data)
print(status, f"{elapsed:.1f}", state)
