"""The installed launcher, run from a throw-away install directory with test `app` modules."""

import json
import os
import shutil
import subprocess
import tempfile
import textwrap
import unittest

INSTALL_DIR = os.environ["TQ8_INSTALL_DIR"]
SOURCE_DIR = os.environ.get("TQ8_SOURCE_DIR", "")

# An app that reports what it was started with, as one JSON line.
PROBE_APP = """
import json, os, sys
def main():
    print(json.dumps({
        "argv": [os.fsencode(a).hex() for a in sys.argv],
        "path": sys.path,
        "PYTHONPATH": os.environ.get("PYTHONPATH"),
        "QT": os.environ.get("QT_AUTO_SCREEN_SCALE_FACTOR"),
        "flags": [sys.flags.isolated, sys.flags.dev_mode, sys.flags.optimize],
    }))
"""


def clean_env(**extra):
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "QT_AUTO_SCREEN_SCALE_FACTOR", "PYTHONINSPECT")}
    env.update(extra)
    return env


class LauncherTest(unittest.TestCase):
    def setUp(self):
        self.dir = os.path.realpath(tempfile.mkdtemp(prefix="tq8-launcher-"))
        self.addCleanup(shutil.rmtree, self.dir)
        self.launcher = os.path.join(self.dir, "launcher")
        shutil.copy2(os.path.join(INSTALL_DIR, "launcher"), self.launcher)

    def write_app(self, source, directory=None):
        with open(os.path.join(directory or self.dir, "app.py"), "w", encoding="utf-8") as f:
            f.write(textwrap.dedent(source))

    def run_launcher(self, *args, exe=None, env=None, pass_fds=()):
        return subprocess.run([exe or self.launcher, *args], capture_output=True, timeout=60,
                              env=clean_env() if env is None else env, pass_fds=pass_fds)

    def probe(self, *args, exe=None, env=None, pass_fds=()):
        self.write_app(PROBE_APP)
        r = self.run_launcher(*args, exe=exe, env=env, pass_fds=pass_fds)
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        return json.loads(r.stdout)

    def test_exit_status_table(self):
        traceback = b"Traceback (most recent call last)"
        cases = [
            # (what, app source, status, stderr: exact bytes or a tuple of pieces it contains)
            ("returns", "def main():\n    return 7\n", 0, b""),
            ("no main", "x = 1\n", 0, b""),
            ("main not callable", "main = 5\n", 1, b"TypeError: 'int' object is not callable\n"),
            ("exit without code", "def main():\n    raise SystemExit\n", 0, b""),
            ("exit None", "def main():\n    raise SystemExit(None)\n", 0, b""),
            ("exit 0", "import sys\ndef main():\n    sys.exit(0)\n", 0, b""),
            ("exit 3", "def main():\n    raise SystemExit(3)\n", 3, b""),
            ("exit True", "def main():\n    raise SystemExit(True)\n", 1, b""),
            ("exit False", "def main():\n    raise SystemExit(False)\n", 0, b""),
            ("exit 261 keeps low bits", "def main():\n    raise SystemExit(261)\n", 5, b""),
            ("exit -1", "def main():\n    raise SystemExit(-1)\n", 255, b""),
            ("exit beyond int", "def main():\n    raise SystemExit(2**40)\n", 255, b""),
            ("exit huge", "def main():\n    raise SystemExit(10**30)\n", 255, b""),
            ("exit huge negative", "def main():\n    raise SystemExit(-10**30)\n", 255, b""),
            ("exit text", "def main():\n    raise SystemExit('metin çıkış')\n", 1, b""),
            ("exit subclass", "class E(SystemExit): pass\ndef main():\n    raise E(6)\n", 6, b""),
            ("other exception", "def main():\n    raise ValueError('bozuk değer')\n", 1,
             (traceback, b'app.py", line 2, in main', "ValueError: bozuk değer".encode())),
            ("import error", "import tq8_olmayan_modul\n", 1,
             (traceback, b"ModuleNotFoundError: No module named 'tq8_olmayan_modul'")),
            ("syntax error", "def main(:\n", 1, (b"SyntaxError",)),
            ("exit 4 at import", "raise SystemExit(4)\n", 4, b""),
            ("exit None at import", "raise SystemExit\n", 0, b""),
            ("exit text at import", "raise SystemExit('içe aktarırken')\n", 1,
             "içe aktarırken\n".encode()),
        ]
        for what, source, status, stderr in cases:
            with self.subTest(what):
                self.write_app(source)
                r = self.run_launcher()
                self.assertEqual(r.returncode, status, r.stderr)
                self.assertEqual(r.stdout, b"")
                if isinstance(stderr, bytes):
                    self.assertEqual(r.stderr, stderr)
                else:
                    for piece in stderr:
                        self.assertIn(piece, r.stderr)

        with self.subTest("no app module"):
            os.remove(os.path.join(self.dir, "app.py"))
            r = self.run_launcher()
            self.assertEqual(r.returncode, 1)
            self.assertIn(b"No module named 'app'", r.stderr)

    def test_arguments_reach_the_app_untouched(self):
        args = ["-c", "raise SystemExit(9)", "-m", "json.tool", "-X", "dev", "-O", "--help", "-I",
                "", "şifre=ğüıöç", os.fsdecode(b"\xff\xfe")]
        out = self.probe(*args)
        self.assertEqual([bytes.fromhex(a) for a in out["argv"]],
                         [os.fsencode(a) for a in [self.launcher, *args]])
        self.assertEqual(out["flags"], [0, False, 0])

    def test_environment_and_search_path(self):
        cases = [
            # (caller's environment, expected QT_AUTO_SCREEN_SCALE_FACTOR)
            ({}, "1"),
            ({"QT_AUTO_SCREEN_SCALE_FACTOR": "0"}, "0"),
            ({"QT_AUTO_SCREEN_SCALE_FACTOR": ""}, ""),
            ({"PYTHONPATH": "/tq8/elsewhere:/tq8/more"}, "1"),
        ]
        for extra, qt in cases:
            with self.subTest(extra):
                out = self.probe(env=clean_env(**extra))
                self.assertEqual(out["PYTHONPATH"], self.dir)
                self.assertEqual(out["QT"], qt)
                self.assertEqual(out["path"][0], self.dir)
                self.assertFalse([p for p in out["path"] if p.startswith("/tq8/")])

    def test_symlink_elsewhere_uses_the_real_directory(self):
        other = os.path.realpath(tempfile.mkdtemp(prefix="tq8-link-"))
        self.addCleanup(shutil.rmtree, other)
        self.write_app("def main():\n    raise SystemExit(42)\n", directory=other)
        link = os.path.join(other, "launcher")
        os.symlink(self.launcher, link)
        out = self.probe("x", exe=link)
        self.assertEqual(bytes.fromhex(out["argv"][0]), os.fsencode(link))
        self.assertEqual(out["path"][0], self.dir)
        self.assertEqual(out["PYTHONPATH"], self.dir)

    def test_buffered_output_is_flushed_at_exit(self):
        self.write_app("""
            import atexit, sys
            atexit.register(lambda: print("çıkış işleyicisi"))
            def main():
                print("merhaba dünya")
                sys.stdout.write("x" * 100000)
                print()
                raise SystemExit(3)
        """)
        r = self.run_launcher()
        self.assertEqual(r.returncode, 3)
        expected = "merhaba dünya\n" + "x" * 100000 + "\nçıkış işleyicisi\n"
        self.assertEqual(r.stdout.decode(), expected)

    def test_unreadable_own_path_falls_back_to_the_default_directory(self):
        # /proc/self/exe cannot name a file whose path exceeds 4095 bytes: build such a tree
        # relative to a descriptor and start the launcher through /proc/self/fd.
        fd = os.open(self.dir, os.O_RDONLY | os.O_DIRECTORY)
        try:
            for _ in range(20):
                name = "d" * 250
                os.mkdir(name, dir_fd=fd)
                sub = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
                os.close(fd)
                fd = sub
            with open(self.launcher, "rb") as src:
                data = src.read()
            out_fd = os.open("launcher", os.O_WRONLY | os.O_CREAT, 0o755, dir_fd=fd)
            with os.fdopen(out_fd, "wb") as dst:
                dst.write(data)
            # No app in the fallback directory here: the user site carries the probe instead.
            user_base = os.path.join(self.dir, "userbase")
            site = os.path.join(user_base, "lib", "python3.12", "site-packages")
            os.makedirs(site)
            self.write_app(PROBE_APP, directory=site)
            out = self.probe(exe=f"/proc/self/fd/{fd}/launcher", pass_fds=(fd,),
                             env=clean_env(PYTHONUSERBASE=user_base))
        finally:
            os.close(fd)
        self.assertEqual(out["PYTHONPATH"], "/opt/tq8-vpn-adblocker")
        self.assertEqual(out["path"][0], "/opt/tq8-vpn-adblocker")

    @unittest.skipUnless(SOURCE_DIR, "TQ8_SOURCE_DIR not set")
    def test_example_app_runs(self):
        shutil.copy(os.path.join(SOURCE_DIR, "examples", "app.py"), self.dir)
        r = self.run_launcher("--çıkış-kodu", "3", "merhaba")
        self.assertEqual(r.returncode, 3, r.stderr)
        self.assertIn("Argümanlar: merhaba", r.stdout.decode())


if __name__ == "__main__":
    unittest.main()
