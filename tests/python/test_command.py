"""The installed tq8_root_helper command: parsing, dispatch, the JSON line, exit statuses and
the isolation of its runtime. Only fake programs are on PATH."""

import json
import os
import shutil
import subprocess
import tempfile
import unittest

from support import HELPER, FakePrograms

KS_OFF_LINE = ('{"ok": true, "enabled": false, "logs": [{"cmd": "iptables -X TQ8_KILLSWITCH", '
               '"rc": 0, "stdout": "Kill Switch devre dışı bırakıldı.", "stderr": ""}]}\n'
               ).encode("utf-8")


def split_rules(calls):
    """The -d rules appended after the fixed fifteen: the split-tunnel destinations."""
    appended = [c for c in calls if c[:3] == ["iptables", "-A", "TQ8_KILLSWITCH"]]
    return [c[4] for c in appended[15:] if c[3] == "-d"]


class CommandTest(unittest.TestCase):
    def setUp(self):
        self.fakes = FakePrograms()
        self.addCleanup(self.fakes.close)

    def run_helper(self, *args, **kw):
        return self.fakes.run_helper(*args, **kw)

    def test_usage_errors(self):
        cases = [
            [],
            ["bogus"],
            ["MTU"],
            ["mtu", "--wg-action", "sideways"],
            ["mtu", "--mtu", "abc"],
            ["mtu", "--mtu", "14.5"],
            ["mtu", "--nope"],
            ["mtu", "--iface"],
            ["mtu", "extra"],
            ["mtu", "--enable=yes"],
            ["--iface", "eth0"],
        ]
        for args in cases:
            with self.subTest(args):
                proc = self.run_helper(*args)
                self.assertEqual((proc.returncode, proc.stdout), (2, b""))
                err = proc.stderr.decode()
                self.assertIn("kullanım: tq8_root_helper", err)
                self.assertIn("tq8_root_helper: hata: ", err)
        self.assertEqual(self.fakes.calls(), [])

    def test_help_in_turkish(self):
        for flag in ("-h", "--help", "--he"):
            with self.subTest(flag):
                proc = self.run_helper(flag)
                self.assertEqual((proc.returncode, proc.stderr), (0, b""))
                out = proc.stdout.decode()
                for text in ("kullanım: tq8_root_helper", "TQ8 Sipran Root Helper",
                             "konumsal argümanlar", "seçenekler",
                             "bu yardım mesajını gösterir ve çıkar",
                             "{mtu,killswitch,wireguard,reset-network,dns-guard,dns-off}",
                             "--iface", "--mtu", "--enable", "--disable",
                             "--wg-action {up,down}", "--conf", "--split-ips"):
                    self.assertIn(text, out)
                self.assertNotIn("usage:", out)

    def test_option_spellings(self):
        cases = [
            (["mtu"], ["wlp0s20f3", "1420"]),
            (["mtu", "--iface", "eth1", "--mtu", "1400"], ["eth1", "1400"]),
            (["--if=eth1", "--mt=1300", "mtu"], ["eth1", "1300"]),
            (["mtu", "--iface", "a", "--iface", "b", "--mtu", "9000", "--mtu", "-5"],
             ["b", "1280"]),
            (["mtu", "--conf", "/x", "--split-ips", "1.2.3.4", "--wg-action", "down"],
             ["wlp0s20f3", "1420"]),
        ]
        for args, (iface, mtu) in cases:
            with self.subTest(args):
                self.fakes.clear_calls()
                proc = self.run_helper(*args)
                self.assertEqual(proc.returncode, 0, proc.stderr)
                self.assertEqual(self.fakes.calls()[0], ["ip", "link", "set", "dev", iface, "mtu", mtu])
                record = json.loads(proc.stdout)
                self.assertEqual((record["interface"], record["mtu"]), (iface, int(mtu)))

    def test_killswitch_switch_value(self):
        cases = [([], False), (["--enable"], True), (["--disable"], False),
                 (["--enable", "--disable"], False), (["--disable", "--en"], False)]
        for flags, on in cases:
            with self.subTest(flags):
                self.fakes.clear_calls()
                proc = self.run_helper("killswitch", *flags)
                self.assertEqual(proc.returncode, 0, proc.stderr)
                self.assertEqual(json.loads(proc.stdout)["enabled"], on)
                created = ["iptables", "-N", "TQ8_KILLSWITCH"] in self.fakes.calls()
                self.assertEqual(created, on)

    def test_split_ips(self):
        cases = [
            ([], []),
            (["--split-ips", ""], []),
            (["--split-ips", " 10.0.0.1/32,   ,10.8.0.0/24,"], ["10.0.0.1/32", "10.8.0.0/24"]),
            (["--split-ips=1.1.1.1"], ["1.1.1.1"]),
        ]
        for opts, expected in cases:
            with self.subTest(opts):
                self.fakes.clear_calls()
                proc = self.run_helper("killswitch", "--enable", *opts)
                self.assertEqual(proc.returncode, 0, proc.stderr)
                self.assertEqual(split_rules(self.fakes.calls()), expected)

    def test_wireguard_defaults(self):
        proc = self.run_helper("wireguard", "--wg-action", "down", "--conf", "")
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(json.loads(proc.stdout)["logs"][0]["cmd"], "ip link del dev tq8wg0")
        self.fakes.clear_calls()
        proc = self.run_helper("wireguard", "--mtu", "1380")
        self.assertIn(["ip", "link", "set", "mtu", "1380", "up", "dev", "tq8wg0"],
                      self.fakes.calls())

    def test_dns_off_status(self):
        self.fakes.rule("iptables", "-w", "5", "-t", "nat", "-C", rc=1)
        proc = self.run_helper("dns-off")
        self.assertEqual((proc.returncode, proc.stdout, proc.stderr), (0, b'{"ok": true}\n', b""))
        self.fakes.rule("iptables", "-w", "5", "-t", "nat", rc=0)  # the rule never goes away
        proc = self.run_helper("dns-off")
        self.assertEqual((proc.returncode, proc.stdout), (1, b'{"ok": false}\n'))

    def test_json_bytes_whatever_the_locale(self):
        for env in self.locale_envs():
            with self.subTest(env):
                proc = self.run_helper("killswitch", "--disable", env=self.fakes.env(**env))
                self.assertEqual((proc.returncode, proc.stdout, proc.stderr), (0, KS_OFF_LINE, b""))
                proc = self.run_helper("mtu", "--iface", "şı", env=self.fakes.env(**env))
                self.assertEqual(proc.returncode, 0, proc.stderr)
                self.assertIn('"interface": "şı"'.encode(), proc.stdout)

    def test_non_utf8_argument(self):
        proc = self.run_helper("mtu", os.fsencode("--iface=eth\udcff"))
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(self.fakes.calls()[0], ["ip", "link", "set", "dev", "eth\udcff", "mtu", "1420"])
        lines = proc.stdout.decode("utf-8").splitlines()
        self.assertEqual(len(lines), 1)
        self.assertIn('"interface": "eth\\udcff"', lines[0])
        self.assertEqual(json.loads(lines[0])["interface"], "eth\udcff")

    def test_isolated_from_environment_and_cwd(self):
        work = tempfile.mkdtemp(prefix="tq8-isolation-")
        self.addCleanup(shutil.rmtree, work)
        poison = "import sys; sys.stdout.write('POISON\\n'); sys.exit(42)\n"
        for name in ("argparse.py", "json.py", "tq8_root_helper.py", "sitecustomize.py",
                     "usercustomize.py", "startup.py"):
            with open(os.path.join(work, name), "w") as f:
                f.write(poison)
        env = self.fakes.env(PYTHONPATH=work, PYTHONHOME=work,
                             PYTHONSTARTUP=os.path.join(work, "startup.py"),
                             PYTHONINSPECT="1", PYTHONUSERBASE=work, PYTHONWARNINGS="error",
                             PYTHONIOENCODING="latin-1")
        proc = self.run_helper("killswitch", "--disable", env=env, cwd=work)
        self.assertEqual((proc.returncode, proc.stdout, proc.stderr), (0, KS_OFF_LINE, b""))
        proc = self.run_helper("bogus", env=env, cwd=work)
        self.assertEqual((proc.returncode, proc.stdout), (2, b""))

    def locale_envs(self):
        envs = [{"LANG": "C", "LC_ALL": "C"}, {"LANG": "C.UTF-8", "LC_ALL": ""},
                {"LANG": "", "LC_ALL": "", "LC_CTYPE": ""}]
        latin9 = self.latin9_locale()
        if latin9:
            envs.append(latin9)
        return envs

    def latin9_locale(self):
        """A Latin-9 locale compiled into a scratch directory, if localedef can make one."""
        if not shutil.which("localedef"):
            return None
        where = tempfile.mkdtemp(prefix="tq8-locale-")
        self.addCleanup(shutil.rmtree, where)
        name = "de_DE.ISO-8859-15@euro"
        subprocess.run(["localedef", "-i", "de_DE@euro", "-f", "ISO-8859-15",
                               os.path.join(where, name)], capture_output=True)
        if not os.path.isdir(os.path.join(where, name)):
            return None
        return {"LOCPATH": where, "LANG": name, "LC_ALL": name}


if __name__ == "__main__":
    unittest.main()
