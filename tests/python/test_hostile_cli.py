"""Hostile command lines: the installed command under many random argument vectors.

Every run must end with 0, with 1 only for dns-off's {"ok": false}, with 2 for a usage error
(nothing on stdout, no program started), or with the guard's 3 to 6 and its one "HATA: " line;
never a traceback, never more than one line on stdout (the help text aside).

The actions that touch /etc/resolv.conf (reset-network, dns-guard) run only inside a throw-away
namespace: as root the test re-runs itself inside tq8_sandbox; otherwise it leaves them out.

TQ8_HOSTILE_RUNS (default 300) and TQ8_HOSTILE_SEED (default 8) change the sample.
"""

import json
import os
import random
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

INSTALL_DIR = os.path.abspath(os.environ.get("TQ8_INSTALL_DIR")
                              or os.path.join(os.environ.get("TQ8_BUILD_DIR", "build"), "stage"))
HELPER = os.path.join(INSTALL_DIR, "tq8_root_helper")
SOURCE_DIR = os.environ.get("TQ8_SOURCE_DIR",
                            os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
IN_SANDBOX = bool(os.environ.get("TQ8_IN_SANDBOX"))
IS_ROOT = os.geteuid() == 0

RUNS = int(os.environ.get("TQ8_HOSTILE_RUNS", "300"))
SEED = int(os.environ.get("TQ8_HOSTILE_SEED", "8"))
# Stop drawing new vectors after this long; the count actually run is printed.
BUDGET_S = float(os.environ.get("TQ8_HOSTILE_BUDGET_S", "240"))

ACTIONS = ["mtu", "killswitch", "wireguard", "reset-network", "dns-guard", "dns-off"]
ETC_ACTIONS = {"reset-network", "dns-guard"}
OPTIONS = ["--iface", "--mtu", "--enable", "--disable", "--wg-action", "--conf", "--split-ips"]
FLAGS = {"--enable", "--disable"}
FAKES = ("iptables", "ip", "wg-quick", "modprobe", "resolvectl", "systemctl")

# Each fake appends its name and arguments to $TQ8_FAKE_LOG and succeeds at once: sh, not a
# Python fake, so that a few hundred runs of up to thousands of commands stay quick.
FAKE_SCRIPT = '#!/bin/sh\n[ -n "$TQ8_FAKE_LOG" ] && echo "${0##*/} $*" >> "$TQ8_FAKE_LOG"\nexit 0\n'

HELP_MARK = b"TQ8 Sipran Root Helper"


class Gen:
    """Random argument vectors of bytes, built from what the parser knows and what it does not."""

    def __init__(self, seed, excluded=()):
        self.r = random.Random(seed)
        self.actions = [a for a in ACTIONS if a not in excluded]

    def prefix(self, opt):
        # "--" plus at least one letter: a prefix that may or may not be unique.
        return opt[:self.r.randint(3, len(opt))]

    def text(self):
        r = self.r
        kind = r.randrange(14)
        if kind == 0:
            return b""
        if kind == 1:
            return b"="
        if kind == 2:   # invalid UTF-8 of several kinds: stray byte, overlong, surrogate, > U+10FFFF
            return r.choice([b"\xff", b"\xc0\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80",
                             b"eth\xfe0", b"\x80" * 3])
        if kind == 3:   # huge, without commas so that it stays one split entry
            return bytes(r.choice(b"abc./:-9 \t\xc4\xb1") for _ in range(100_000))
        if kind == 4:
            return str(r.choice([0, -1, 1280, 1500, 99999, -(10 ** 40), 10 ** 300])).encode()
        if kind == 5:
            return r.choice(["ağ ş ı İ", "\n", "a\nb", "\r\n", " ", "\u2028", "\u00a0x"]).encode()
        if kind == 6:
            return ",".join(r.choice(["10.8.0.0/24", " ", "", "x", "1.2.3.4"])
                            for _ in range(r.randint(0, 200))).encode()
        if kind == 7:
            return r.choice([b"-5", b"-", b"--", b"-x", b"---", b"up", b"down", b"UP"])
        if kind == 8:
            return r.choice(ACTIONS).encode()
        if kind == 9:
            return ("%" + "s" * r.randint(1, 5) + "{}" + "\\x").encode()
        return bytes(r.randrange(1, 256) for _ in range(r.randint(1, 40)))  # no NUL in argv

    def token(self):
        r = self.r
        kind = r.randrange(12)
        if kind <= 2:
            return r.choice(ACTIONS).encode()
        if kind == 3:   # an action's prefix or a near miss: never matched
            a = r.choice(ACTIONS)
            return r.choice([a[:r.randint(1, len(a))], a.upper(), a + "x", " " + a]).encode()
        if kind <= 7:
            opt = r.choice(OPTIONS)
            name = self.prefix(opt) if r.random() < 0.3 else opt
            if opt in FLAGS:
                return name.encode() + (b"=" + self.text() if r.random() < 0.1 else b"")
            if r.random() < 0.5:
                return name.encode() + b"=" + self.text()
            return [name.encode(), self.text()] if r.random() < 0.9 else name.encode()
        if kind == 8:
            return r.choice([b"--bogus", b"-x", b"-", b"--", b"--=", b"-h", b"--he", b"-ee"])
        return self.text()

    def well_formed(self):
        # An action and options with values: hostile values, but parseable most of the time,
        # so that the operations and the JSON output get exercised, not only the parser.
        r = self.r
        out = [r.choice(self.actions).encode()]
        for _ in range(r.randint(0, 4)):
            opt = r.choice(OPTIONS)
            name = (self.prefix(opt) if r.random() < 0.2 else opt).encode()
            if opt in FLAGS:
                out.append(name)
            elif opt == "--wg-action":
                out += [name, r.choice([b"up", b"down"])]
            elif opt == "--mtu":
                out.append(name + b"=" + str(r.choice([0, -7, 1280, 1420, 1500, 10 ** 30, -(10 ** 300)])).encode())
            else:
                out.append(name + b"=" + self.text())
        r.shuffle(out)
        return out

    def argv(self):
        if self.r.random() < 0.6:
            out = self.well_formed()
            if self.r.random() < 0.2:
                t = self.token()
                out.extend(t if isinstance(t, list) else [t])
        else:
            out = []
            for _ in range(self.r.randint(0, 7)):
                t = self.token()
                out.extend(t if isinstance(t, list) else [t])
            if self.r.random() < 0.5:
                out.insert(self.r.randint(0, len(out)), self.r.choice(self.actions).encode())
        excluded = [a.encode() for a in ACTIONS if a not in self.actions]
        out = [a for a in out if not any(x in a for x in excluded)]
        # Stay well below the kernel's total argument size limit.
        while sum(len(a) for a in out) > 1_500_000:
            out.pop()
        return out


def check_run(argv, proc, log_path):
    """Problems with one finished run, as texts (empty when the run was acceptable)."""
    problems = []
    out, err, rc = proc.stdout, proc.stderr, proc.returncode
    lines = out.splitlines()
    if b"Traceback" in err:
        problems.append("traceback on stderr")
    is_help = rc == 0 and HELP_MARK in out
    if len(lines) > 1 and not is_help:
        problems.append("%d lines on stdout" % len(lines))
    ran_programs = os.path.exists(log_path)
    if rc == 2:
        if out:
            problems.append("usage error with output on stdout")
        if ran_programs:
            problems.append("usage error, yet a program ran")
    elif rc == 1:
        if out != b'{"ok": false}\n':
            problems.append("status 1 without dns-off's {\"ok\": false}")
    elif rc in (3, 4, 5, 6):
        if not out.startswith(b"HATA: "):
            problems.append("guard status %d without its HATA line" % rc)
    elif rc == 0:
        if out and not is_help and out != b"HAZIR\n":
            try:
                record = json.loads(out.decode("utf-8", "surrogateescape"))
            except ValueError:
                problems.append("stdout is not a JSON line")
            else:
                if not isinstance(record, dict) or next(iter(record), None) != "ok":
                    problems.append("record does not start with \"ok\"")
    else:
        problems.append("unexpected status %d" % rc)
    if problems:
        shown = [a[:60] + (b"...(%d bytes)" % len(a) if len(a) > 60 else b"") for a in argv]
        return ["%r: rc=%d %s; stderr tail %r" % (shown, rc, ", ".join(problems), err[-300:])]
    return []


def in_sandbox_command():
    lib = os.path.join(SOURCE_DIR, "tests", "system", "lib.sh")
    here = os.path.dirname(os.path.abspath(__file__))
    script = 'source "$1"; shift; cd "$1"; shift; tq8_sandbox "$@"'
    return ["bash", "-c", script, "hostile", lib, here,
            sys.executable, "-m", "unittest", "-v", "test_hostile_cli"]


class HostileCommandLines(unittest.TestCase):

    def test_random_argument_vectors(self):
        if IS_ROOT and not IN_SANDBOX:
            # The whole sample runs in one throw-away namespace, so that reset-network and the
            # guard can run too without touching this machine's /etc or /run.
            proc = subprocess.run(in_sandbox_command(), capture_output=True, timeout=900)
            sys.stderr.write(proc.stderr.decode("utf-8", "replace"))
            self.assertEqual(proc.returncode, 0, "the sandboxed run failed (its output is above)")
            return
        excluded = set() if IN_SANDBOX else ETC_ACTIONS
        self.run_sample(excluded)

    def run_sample(self, excluded):
        scratch = tempfile.mkdtemp(prefix="tq8-hostile.")
        self.addCleanup(shutil.rmtree, scratch, True)
        bin_dir = os.path.join(scratch, "bin")
        os.mkdir(bin_dir)
        for name in FAKES:
            path = os.path.join(bin_dir, name)
            with open(path, "w") as f:
                f.write(FAKE_SCRIPT)
            os.chmod(path, 0o755)
        env = {"PATH": bin_dir + ":/usr/bin:/bin", "LANG": "C", "HOME": scratch}

        if IN_SANDBOX:
            # Give the guard something to find: the stub marker, and a socket on the shield's
            # address owned by root. With its input at end of file it ends right after "HAZIR".
            shield = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            shield.bind(("127.0.0.1", 5354))
            self.addCleanup(shield.close)

        gen = Gen(SEED, excluded)
        failures, statuses, started = [], {}, time.monotonic()
        done = 0
        for i in range(RUNS):
            if time.monotonic() - started > BUDGET_S:
                break
            argv = gen.argv()
            if IN_SANDBOX:
                self.write_resolv_conf()
            log_path = os.path.join(scratch, "calls.%d" % i)
            try:
                proc = subprocess.run([HELPER.encode()] + argv, capture_output=True,
                                      stdin=subprocess.DEVNULL, timeout=120,
                                      env=dict(env, TQ8_FAKE_LOG=log_path))
            except subprocess.TimeoutExpired:
                failures.append("%r: hung for 120 s" % ([a[:60] for a in argv],))
                continue
            done += 1
            action = next((a.decode() for a in argv if a.decode("utf-8", "replace") in ACTIONS), "-")
            key = "%s:%d" % (action, proc.returncode)
            statuses[key] = statuses.get(key, 0) + 1
            failures.extend(check_run(argv, proc, log_path))
            if os.path.exists(log_path):
                os.unlink(log_path)
        print("\nhostile command lines: %d runs (seed %d%s), statuses %s, %.1f s"
              % (done, SEED, ", sandboxed" if IN_SANDBOX else ", without " + "/".join(sorted(excluded)),
                 dict(sorted(statuses.items())), time.monotonic() - started), file=sys.stderr)
        self.assertGreaterEqual(done, min(RUNS, 100), "too few runs within the time budget")
        self.assertEqual(failures, [], "\n".join(failures[:20]))

    @staticmethod
    def write_resolv_conf():
        # reset-network replaces the file (inside the sandbox's overlay); put the stub back so
        # that later guards get past their first check. rename() also replaces a symlink.
        tmp = "/etc/.resolv.conf.tq8-hostile"
        with open(tmp, "w") as f:
            f.write("nameserver 127.0.0.53\noptions edns0\n")
        os.replace(tmp, "/etc/resolv.conf")


if __name__ == "__main__":
    unittest.main()
