"""Shared pieces of the module and command tests.

Importing this module puts the staged install directory ($TQ8_INSTALL_DIR) first on sys.path,
so that `import tq8_root_helper` loads the installed module; HELPER is the installed command.

FakePrograms: recording fake programs that stand in for the system's tools. Each fake is an
executable in a private directory that becomes the WHOLE of PATH (the real iptables or ip can
never be reached by accident: a program that is not faked is simply missing). A fake appends
its argument vector (program name first, as a base name) as one JSON line to a log, then
answers as scripted:

    with FakePrograms() as fakes:
        fakes.rule("iptables", "-t", "mangle", "-C", rc=1, stderr="Bad rule")
        fakes.rule("ip", "-o", "-4", "route", responses=[
            {"stdout": "default via 10.0.0.1 dev eth0"},   # first call
            {"rc": 2},                                       # every later call
        ])
        proc = fakes.run_helper("mtu", "--iface", "eth0")   # the installed command
        with fakes.on_path():                                # or in this process
            tq8_root_helper.set_mtu("eth0", 1400)
        fakes.calls()   # [["ip", "link", "set", ...], ["iptables", ...], ...]

- A rule matches an argument vector that starts with its prefix (program name first). The rule
  added last wins, so general rules go first and special cases after them.
- An answer is a dict with "rc" (default 0), "stdout", "stderr" (texts; lone surrogates
  become the bytes they stand for, so invalid UTF-8 can be scripted) and "sleep" (seconds
  before answering). `responses` hands out answers in turn and repeats the last.
- Unmatched calls get `default` (rc 0, no output, unless changed).
- fakes.remove(name) makes a program missing; fakes.script(name, text) installs a program of
  your own (give it an absolute "#!" line: PATH holds only the fakes).
- Arguments are logged byte-exact: non-UTF-8 bytes come back as surrogate escapes, as
  os.fsdecode gives them.
"""

import contextlib
import json
import os
import shutil
import subprocess
import sys
import tempfile

INSTALL_DIR = os.environ.get("TQ8_INSTALL_DIR") or os.path.join(
    os.environ.get("TQ8_BUILD_DIR", "build"), "stage")
INSTALL_DIR = os.path.abspath(INSTALL_DIR)
if sys.path[:1] != [INSTALL_DIR]:
    sys.path.insert(0, INSTALL_DIR)

HELPER = os.path.join(INSTALL_DIR, "tq8_root_helper")

DEFAULT_NAMES = ("iptables", "ip", "wg-quick", "modprobe", "resolvectl", "systemctl")

_FAKE = r'''#!{python} -IS
import json, os, sys, time
D = {dir!r}
argv = [os.path.basename(sys.argv[0])] + sys.argv[1:]
argv = [os.fsencode(a).decode("utf-8", "surrogateescape") for a in argv]
with open(os.path.join(D, "calls.jsonl"), "a") as f:
    f.write(json.dumps(argv) + "\n")
with open(os.path.join(D, "rules.json")) as f:
    rules = json.load(f)
answer = rules["default"]
for i in range(len(rules["rules"]) - 1, -1, -1):
    rule = rules["rules"][i]
    if argv[:len(rule["prefix"])] == rule["prefix"]:
        counts_path = os.path.join(D, "counts.json")
        try:
            with open(counts_path) as f:
                counts = json.load(f)
        except FileNotFoundError:
            counts = {{}}
        n = counts.get(str(i), 0)
        counts[str(i)] = n + 1
        with open(counts_path, "w") as f:
            json.dump(counts, f)
        answer = rule["responses"][min(n, len(rule["responses"]) - 1)]
        break
time.sleep(answer.get("sleep", 0))
sys.stdout.buffer.write(answer.get("stdout", "").encode("utf-8", "surrogateescape"))
sys.stderr.buffer.write(answer.get("stderr", "").encode("utf-8", "surrogateescape"))
sys.exit(answer.get("rc", 0))
'''


class FakePrograms:
    """Recording fake programs as the whole of PATH; see the module's documentation."""

    def __init__(self, names=DEFAULT_NAMES, default=None):
        self.dir = tempfile.mkdtemp(prefix="tq8-fakes-")
        self.bin = os.path.join(self.dir, "bin")
        os.mkdir(self.bin)
        self.log_path = os.path.join(self.dir, "calls.jsonl")
        self._rules = []
        self._default = dict(default or {"rc": 0})
        self._save()
        open(self.log_path, "w").close()
        for name in names:
            self.install(name)

    # -- set-up ---------------------------------------------------------------------------
    def install(self, name):
        """Adds a recording fake called `name`."""
        self.script(name, _FAKE.format(python=sys.executable, dir=self.dir))

    def script(self, name, text):
        """Installs an executable `name` with the given text."""
        path = os.path.join(self.bin, name)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, 0o755)

    def remove(self, name):
        """Makes `name` a missing program."""
        with contextlib.suppress(FileNotFoundError):
            os.unlink(os.path.join(self.bin, name))

    def rule(self, *prefix, rc=0, stdout="", stderr="", sleep=0, responses=None):
        """Scripts the answer to every call whose argument vector starts with prefix."""
        if responses is None:
            responses = [{"rc": rc, "stdout": stdout, "stderr": stderr, "sleep": sleep}]
        self._rules.append({"prefix": list(prefix), "responses": list(responses)})
        self._save()

    def default(self, rc=0, stdout="", stderr=""):
        """The answer to calls that no rule matches."""
        self._default = {"rc": rc, "stdout": stdout, "stderr": stderr}
        self._save()

    def _save(self):
        with open(os.path.join(self.dir, "rules.json"), "w") as f:
            json.dump({"default": self._default, "rules": self._rules}, f)
        with contextlib.suppress(FileNotFoundError):
            os.unlink(os.path.join(self.dir, "counts.json"))

    # -- results --------------------------------------------------------------------------
    def calls(self, program=None):
        """Every recorded argument vector in order (only `program`'s when given)."""
        with open(self.log_path) as f:
            calls = [json.loads(line) for line in f if line.strip()]
        if program is not None:
            calls = [c for c in calls if c[0] == program]
        return calls

    def clear_calls(self):
        open(self.log_path, "w").close()

    # -- running --------------------------------------------------------------------------
    def env(self, **extra):
        """This process's environment with only the fakes on PATH, updated by extra."""
        env = dict(os.environ)
        env["PATH"] = self.bin
        env.update(extra)
        return env

    @contextlib.contextmanager
    def on_path(self):
        """Only the fakes on PATH for code running in this process."""
        saved = os.environ.get("PATH")
        os.environ["PATH"] = self.bin
        try:
            yield self
        finally:
            if saved is None:
                del os.environ["PATH"]
            else:
                os.environ["PATH"] = saved

    def run_helper(self, *args, env=None, input=b"", timeout=60, cwd=None):
        """Runs the installed command with args; CompletedProcess with bytes output."""
        return subprocess.run([HELPER, *args], input=input, capture_output=True,
                              env=env if env is not None else self.env(), timeout=timeout,
                              cwd=cwd)

    def close(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
