"""The network actions through the installed command: the exact JSON line and the exact
commands each action runs, with recording fake programs as the whole of PATH."""

import json
import os
import tempfile
import unittest

from support import FakePrograms

MSS = ["-p", "tcp", "--tcp-flags", "SYN,RST", "SYN", "-j", "TCPMSS", "--clamp-mss-to-pmtu"]
MSS_CHECK = ["iptables", "-t", "mangle", "-C", "POSTROUTING", *MSS]
MSS_ADD = ["iptables", "-t", "mangle", "-A", "POSTROUTING", *MSS]
ROUTE = ["ip", "-o", "-4", "route", "show", "to", "default"]


class NetopsCommandTest(unittest.TestCase):
    def setUp(self):
        self.fakes = FakePrograms()
        self.addCleanup(self.fakes.close)

    def run_action(self, *args):
        proc = self.fakes.run_helper(*args)
        self.assertEqual((proc.returncode, proc.stderr), (0, b""), proc.stderr)
        self.assertTrue(proc.stdout.endswith(b"\n") and proc.stdout.count(b"\n") == 1)
        return proc.stdout

    def test_mtu_line_and_commands(self):
        self.fakes.rule(*MSS_CHECK[:4], rc=1, stderr="iptables: Bad rule.")
        self.fakes.rule(*MSS_ADD[:4], rc=4, stderr="iptables: kilit")
        line = self.run_action("mtu", "--iface", "eth 0", "--mtu", "9000")
        self.assertEqual(
            line.decode("utf-8"),
            '{"ok": true, "mtu": 1500, "interface": "eth 0", "logs": ['
            '{"cmd": "ip link set dev eth 0 mtu 1500", "rc": 0, "stdout": "", "stderr": ""}, '
            '{"cmd": "iptables MSS clamp-to-pmtu", "rc": 4, "stdout": "", '
            '"stderr": "iptables: kilit"}]}\n')
        self.assertEqual(self.fakes.calls(),
                         [["ip", "link", "set", "dev", "eth 0", "mtu", "1500"], MSS_CHECK, MSS_ADD])

    def test_killswitch_counts(self):
        for n, split in ((0, ""), (3, " 10.8.0.0/24,  ,198.18.0.0/15,2001:db8::/32")):
            with self.subTest(split=split):
                self.fakes.clear_calls()
                record = json.loads(self.run_action("killswitch", "--enable", "--split-ips", split))
                calls = self.fakes.calls()
                self.assertEqual((len(calls), len(record["logs"])), (22 + n, 19 + n))
                self.assertEqual(list(record), ["ok", "enabled", "logs"])
                self.assertEqual(calls[-1], ["iptables", "-I", "OUTPUT", "1", "-j", "TQ8_KILLSWITCH"])
                self.assertEqual([e["cmd"] for e in record["logs"]][16:16 + n],
                                 [f"iptables -A TQ8_KILLSWITCH -d {d} -j ACCEPT"
                                  for d in ("10.8.0.0/24", "198.18.0.0/15", "2001:db8::/32")][:n])

    def test_killswitch_refused_list_prints_one_failed_step_and_runs_nothing(self):
        for split, reason in (
                ("10.8.0.0/24,slow.example", "Bölünmüş tünel girdisi reddedildi: 'slow.example' bir "
                 "IP adresi veya ağı değil (IPv4: a.b.c.d, a.b.c.d/0-32 ya da a.b.c.d/maske, "
                 "başında sıfır olmadan; IPv6: adres veya adres/0-128). Ad çözümlenmez."),
                (",".join(["1.1.1.1"] * 257),
                 "Bölünmüş tünel listesi reddedildi: en fazla 256 girdi verilebilir.")):
            with self.subTest(split=split[:30]):
                self.fakes.clear_calls()
                line = self.run_action("killswitch", "--enable", "--split-ips", split)
                self.assertEqual(json.loads(line), {"ok": False, "enabled": True, "logs": [
                    {"cmd": "split_ips denetimi", "rc": 1, "stdout": "", "stderr": reason}]})
                self.assertEqual(self.fakes.calls(), [])

    def test_wireguard_fallback_sets_the_physical_mtu(self):
        conf = tempfile.NamedTemporaryFile(suffix=".conf")
        self.addCleanup(conf.close)
        self.fakes.rule("wg-quick", "up", rc=1, stderr="wg-quick: hata")
        self.fakes.rule(*ROUTE, stdout="default via 198.18.0.1 dev wlan7 proto dhcp\n"
                                       "default via 198.18.1.1 dev eth1")
        record = json.loads(self.run_action("wireguard", "--conf", conf.name, "--mtu", "1000"))
        self.assertEqual(list(record), ["ok", "active", "interface", "mtu", "logs"])
        self.assertEqual((record["ok"], record["active"], record["mtu"]), (True, True, 1000))
        self.assertEqual([e["cmd"] for e in record["logs"]],
                         [f"wg-quick up {conf.name}", "ip link add dev tq8wg0 type wireguard",
                          "ip address add 10.54.0.2/24 dev tq8wg0",
                          "ip link set mtu 1000 up dev tq8wg0"])
        # wg-quick is handed the checked private copy, after an unlogged clean-up of the link.
        self.assertEqual(self.fakes.calls(), [
            ["ip", "link", "del", "dev", "tq8wg0"],
            ["wg-quick", "up", "/run/tq8-wireguard/tq8wg0.conf"], ["modprobe", "wireguard"],
            ["ip", "link", "del", "dev", "tq8wg0"],
            ["ip", "link", "add", "dev", "tq8wg0", "type", "wireguard"],
            ["ip", "address", "add", "10.54.0.2/24", "dev", "tq8wg0"],
            ["ip", "link", "set", "mtu", "1000", "up", "dev", "tq8wg0"], ROUTE,
            # set_mtu for the first route's device, clamped; its record is not reported.
            ["ip", "link", "set", "dev", "wlan7", "mtu", "1280"], MSS_CHECK])

    def test_wireguard_paths_without_fallback(self):
        conf = tempfile.NamedTemporaryFile(suffix=".conf")
        self.addCleanup(conf.close)
        record = json.loads(self.run_action("wireguard", "--conf", conf.name))
        self.assertEqual(record, {"ok": True, "active": True, "mode": "wg-quick", "logs": [
            {"cmd": f"wg-quick up {conf.name}", "rc": 0, "stdout": "", "stderr": ""}]})
        self.fakes.remove("wg-quick")
        self.fakes.clear_calls()
        record = json.loads(self.run_action("wireguard", "--wg-action", "down", "--conf", conf.name))
        self.assertEqual(record["logs"], [{"cmd": "ip link del dev tq8wg0", "rc": 0, "stdout": "",
                                           "stderr": ""}])
        self.assertEqual(self.fakes.calls(), [["ip", "link", "del", "dev", "tq8wg0"]])


if __name__ == "__main__":
    unittest.main()
