"""What Python code sees of tq8_root_helper: names, signatures, texts, constants, conversions
and the seams through which one operation reaches another."""

import argparse
import contextlib
import gettext
import inspect
import io
import os
import subprocess
import sys
import unittest
from unittest import mock

from support import INSTALL_DIR, FakePrograms

import tq8_root_helper as helper

MODULE_DOC = (
    "\nTQ8 Sipran — Yetkili Sistem & Ağ Arka Plan Yöneticisi (Root / Polkit Helper)\n\n"
    "Bu betik GUI'yi root olarak çalıştırmak yerine yalnızca yetki gerektiren ağ,\n"
    "WireGuard, MTU, iptables Kill Switch, dnsmasq ve DNS kurtarma işlemlerini\n"
    "pkexec (Polkit) veya systemd daemon üzerinden güvenli şekilde yürütür ve\n"
    "tüm stdout/stderr çıktılarını JSON/metin olarak GUI'ye döndürür.\n")

RECORD = "Dict[str, object]"
# name: (signature text, annotations, defaults, doc)
FUNCTIONS = {
    "run_cmd": (
        "(cmd: 'List[str]', timeout: 'int' = 15) -> 'Tuple[int, str, str]'",
        {"cmd": "List[str]", "timeout": "int", "return": "Tuple[int, str, str]"}, (15,),
        "Komutu çalıştırır ve (returncode, stdout, stderr) döndürür."),
    "set_mtu": (
        "(interface: 'str', mtu: 'int') -> 'Dict[str, object]'",
        {"interface": "str", "mtu": "int", "return": RECORD}, None, None),
    "manage_killswitch": (
        "(enable: 'bool', wg_iface: 'str' = 'tq8wg0', split_ips: 'List[str]' = None)"
        " -> 'Dict[str, object]'",
        {"enable": "bool", "wg_iface": "str", "split_ips": "List[str]", "return": RECORD},
        ("tq8wg0", None),
        "iptables üzerinde TQ8_KILLSWITCH zinciri ile VPN koptuğunda sızıntıyı engeller."),
    "manage_wireguard": (
        "(action: 'str', conf_path: 'str' = '', mtu: 'int' = 1420) -> 'Dict[str, object]'",
        {"action": "str", "conf_path": "str", "mtu": "int", "return": RECORD}, ("", 1420),
        "WireGuard (wg-quick / ip link type wireguard) tünelini başlatır veya durdurur."),
    "emergency_network_reset": (
        "() -> 'Dict[str, object]'", {"return": RECORD}, None,
        "Ağ ayarları bozulduğunda /etc/resolv.conf, iptables, WireGuard ve DNS önbelleğini "
        "sıfırlar."),
    "remove_dns_redirect": ("() -> 'bool'", {"return": "bool"}, None, None),
    "_shield_listening": (
        "() -> 'bool'", {"return": "bool"}, None,
        "127.0.0.1:5354'ü (UDP) parolayı giren kullanıcının süreci mi dinliyor "
        "(/proc/net/udp: 0100007F:14EA, uid)."),
    "_shield_answers": (
        "() -> 'bool'", {"return": "bool"}, None,
        "Çözümleyici gerçekten cevap veriyor mu (donma/SIGSTOP'u da yakalar). Sorgu engelli "
        "bir alan için yerelde cevaplanır."),
    "dns_guard": (
        "() -> 'int'", {"return": "int"}, None,
        "systemd-resolved stub'ına (127.0.0.53) giden DNS sorgularını Sipran "
        "çözümleyicisine yönlendirir.\n    Arayüz açık kaldıkça çalışır; stdin kapanınca "
        "(arayüz kapandı/çöktü) ya da çözümleyici\n    durunca yönlendirmeyi kaldırır — "
        "kullanıcı asla DNS'siz kalmaz."),
    "main": ("() -> 'None'", {"return": "None"}, None, None),
}

PUBLIC_ORDER = ["run_cmd", "set_mtu", "manage_killswitch", "manage_wireguard",
                "emergency_network_reset", "STUB_DNS", "SHIELD_DNS", "DNAT_RULE", "IPT",
                "remove_dns_redirect", "_shield_listening", "_shield_answers", "dns_guard",
                "main"]

DNAT_CHECK = ["iptables", "-w", "5", "-t", "nat", "-C", "OUTPUT", "-p", "udp", "-d",
              "127.0.0.53", "--dport", "53", "-j", "DNAT", "--to-destination",
              "127.0.0.1:5354"]


class SurfaceTest(unittest.TestCase):
    def test_loaded_from_the_install_directory(self):
        self.assertEqual(os.path.dirname(helper.__file__), INSTALL_DIR)

    def test_names_in_published_order(self):
        names = [n for n in vars(helper) if not n.startswith("__") and n != "_native"]
        self.assertEqual(names, PUBLIC_ORDER)

    def test_module_doc(self):
        self.assertEqual(helper.__doc__, MODULE_DOC)

    def test_functions_look_like_python_functions(self):
        for name, (sig, annotations, defaults, doc) in FUNCTIONS.items():
            with self.subTest(name):
                fn = getattr(helper, name)
                self.assertEqual(str(inspect.signature(fn)), sig)
                self.assertEqual(fn.__annotations__, annotations)
                self.assertEqual(list(fn.__annotations__), list(annotations))
                self.assertEqual(fn.__defaults__, defaults)
                self.assertEqual(fn.__doc__, doc)
                self.assertEqual((fn.__name__, fn.__qualname__, fn.__module__),
                                 (name, name, "tq8_root_helper"))

    def test_constants(self):
        self.assertEqual(helper.STUB_DNS, "127.0.0.53")
        self.assertEqual(helper.SHIELD_DNS, "127.0.0.1:5354")
        self.assertEqual(helper.IPT + ["-C"] + helper.DNAT_RULE, DNAT_CHECK)
        self.assertIsInstance(helper.DNAT_RULE, list)
        self.assertIsInstance(helper.IPT, list)

    def test_binding_errors(self):
        cases = [
            (helper.set_mtu, ("eth0",), {}, "missing 1 required positional argument: 'mtu'"),
            (helper.run_cmd, (["true"],), {"limit": 3}, "unexpected keyword argument 'limit'"),
            (helper.dns_guard, (1,), {}, "takes 0 positional arguments but 1 was given"),
            (helper.manage_killswitch, (True,), {"enable": False}, "multiple values"),
            (helper.main, (), {"x": 1}, "unexpected keyword argument 'x'"),
        ]
        for fn, args, kwargs, message in cases:
            with self.subTest(fn.__name__), self.assertRaisesRegex(TypeError, message):
                fn(*args, **kwargs)
        # The natives behind the surface count what they get before reading any of it.
        native = helper.run_cmd.__globals__["_native"]
        for name, args in [("run_cmd", ()), ("set_mtu", ("eth0",)), ("manage_killswitch", (1, 2)),
                           ("dns_guard", (1,)), ("_audit_scope", ()), ("_type_name", (1, 2))]:
            with self.subTest(name), self.assertRaisesRegex(TypeError, "positional arguments"):
                getattr(native, name)(*args)

    def test_import_prints_nothing_and_runs_nothing(self):
        with FakePrograms() as fakes:
            code = f"import sys; sys.path.insert(0, {INSTALL_DIR!r}); import tq8_root_helper"
            proc = subprocess.run([sys.executable, "-I", "-c", code], capture_output=True,
                                  env=fakes.env())
            self.assertEqual((proc.returncode, proc.stdout, proc.stderr), (0, b"", b""))
            self.assertEqual(fakes.calls(), [])


class RunCmdTest(unittest.TestCase):
    def test_results(self):
        raw = os.fsdecode(b"a\xff b")
        cases = [
            (["/bin/sh", "-c", "printf 'abc\\n'"], (0, "abc", "")),
            (("/bin/sh", "-c", "printf ' x\\r\\ny \\n' >&2; exit 2"), (2, "", "x\ny")),
            # Arguments that were not UTF-8 reach the program byte for byte.
            (["/bin/sh", "-c", 'printf %s "$1" | od -An -tx1', "sh", raw],
             (0, "61 ff 20 62", "")),
        ]
        for cmd, expected in cases:
            with self.subTest(cmd):
                self.assertEqual(helper.run_cmd(cmd), expected)

    def test_unusable_commands_are_failed_runs(self):
        def failing_iterator():
            yield "echo"
            raise ValueError("bozuk")

        prefix = "Komut çalıştırma hatası ("
        cases = [
            (failing_iterator(), prefix + "<generator object "),
            (["echo", 5], prefix + "echo 5): "),
            (["echo", "a\0b"], prefix + "echo a\0b): "),
            (["echo", "\ud800"], prefix + "echo \ud800): "),
            (None, prefix + "None): "),
            ("echo hi", prefix + "echo hi): "),
            ([], prefix + "): "),
        ]
        for cmd, start in cases:
            with self.subTest(cmd):
                rc, out, err = helper.run_cmd(cmd)
                self.assertEqual((rc, out), (1, ""))
                self.assertTrue(err.startswith(start), err)
                self.assertGreater(len(err), len(start))

    def test_timeout_argument(self):
        self.assertEqual(helper.run_cmd(["/bin/true"], None), (0, "", ""))
        self.assertEqual(helper.run_cmd(["/bin/true"], 2.5), (0, "", ""))
        rc, _, err = helper.run_cmd(["/bin/sleep", "5"], timeout=0.2)
        self.assertEqual(rc, 1)
        self.assertIn("/bin/sleep 5): ", err)
        for bad in ("15", [15]):
            with self.subTest(bad), self.assertRaises(TypeError):
                helper.run_cmd(["/bin/true"], bad)


class WithFakePrograms(unittest.TestCase):
    """Recording fake programs as the whole of PATH for each test."""

    def setUp(self):
        self.fakes = FakePrograms()
        self.addCleanup(self.fakes.close)
        path = self.fakes.on_path()
        path.__enter__()
        self.addCleanup(path.__exit__, None, None, None)


class ConversionTest(WithFakePrograms):

    def test_mtu_follows_int(self):
        cases = [(1400, 1400), ("1400", 1400), (" 1400\n", 1400), (1450.9, 1450),
                 (True, 1280), (9000, 1500), (10**30, 1500), (-10**30, 1280)]
        for given, applied in cases:
            with self.subTest(given):
                self.fakes.clear_calls()
                record = helper.set_mtu("eth0", given)
                self.assertEqual(record["mtu"], applied)
                self.assertEqual(self.fakes.calls()[0],
                                 ["ip", "link", "set", "dev", "eth0", "mtu", str(applied)])

    def test_bad_arguments_raise_before_any_command(self):
        cases = [
            (helper.set_mtu, ("eth0", "abc"), ValueError),
            (helper.set_mtu, ("eth0", 1.5e400), OverflowError),
            (helper.set_mtu, ("eth0", None), TypeError),
            (helper.set_mtu, (b"eth0", 1400), TypeError),
            (helper.manage_killswitch, (True, 5), TypeError),
            (helper.manage_killswitch, (True, "tq8wg0", ["10.0.0.0/8", 5]), TypeError),
            (helper.manage_killswitch, (True, "tq8wg0", "10.0.0.0/8"), TypeError),
            (helper.manage_killswitch, (True, "tq8wg0", 7), TypeError),
            (helper.manage_wireguard, (None,), TypeError),
            (helper.manage_wireguard, ("up", None), TypeError),
            (helper.manage_wireguard, ("up", "", "mtu"), ValueError),
        ]
        for fn, args, error in cases:
            with self.subTest(fn=fn.__name__, args=args), self.assertRaises(error):
                fn(*args)
            self.assertEqual(self.fakes.calls(), [])

    def test_enable_by_truth_value(self):
        for enable, on in [(1, True), ("x", True), ([], False), (None, False), (0.0, False)]:
            with self.subTest(enable):
                self.assertEqual(helper.manage_killswitch(enable)["enabled"], on)

    def test_split_ips_any_iterable_of_str(self):
        record = helper.manage_killswitch(True, split_ips=(ip for ip in ["10.1.0.0/16"]))
        self.assertIn(["iptables", "-A", "TQ8_KILLSWITCH", "-d", "10.1.0.0/16", "-j", "ACCEPT"],
                      self.fakes.calls())
        self.assertTrue(record["enabled"])

    def test_record_shape_and_non_utf8_texts(self):
        iface = os.fsdecode(b"eth\xff")
        self.fakes.rule("ip", "link", rc=1, stderr=os.fsdecode(b"no \xfe device"))
        record = helper.set_mtu(iface, 1400)
        self.assertEqual(list(record), ["ok", "mtu", "interface", "logs"])
        self.assertEqual(record["interface"], iface)
        self.assertEqual(record["logs"][0], {
            "cmd": "ip link set dev " + iface + " mtu 1400", "rc": 1, "stdout": "",
            "stderr": record["logs"][0]["stderr"]})
        self.assertEqual(self.fakes.calls()[0][4], iface)

    def test_wireguard_mtu_of_any_size(self):
        record = helper.manage_wireguard("up", mtu=10**30)
        self.assertEqual(record["mtu"], 10**30)
        self.assertIn(["ip", "link", "set", "mtu", str(10**30), "up", "dev", "tq8wg0"],
                      self.fakes.calls())


class SeamTest(WithFakePrograms):

    def test_operations_use_a_replaced_run_cmd(self):
        seen = []

        def fake_run(cmd, timeout=15):
            seen.append((list(cmd), timeout))
            return (0, "ok", "") if cmd[0] == "ip" else (1, "", "yok")

        with mock.patch("tq8_root_helper.run_cmd", side_effect=fake_run):
            record = helper.set_mtu("eth0", 1400)
        self.assertEqual(seen[0], (["ip", "link", "set", "dev", "eth0", "mtu", "1400"], 15))
        self.assertEqual(record["logs"][0]["stdout"], "ok")
        self.assertEqual(self.fakes.calls(), [])
        helper.set_mtu("eth0", 1400)  # the original again once the patch is gone
        self.assertEqual(self.fakes.calls()[0][0], "ip")

    def test_every_way_of_replacing_run_cmd_is_seen(self):
        # The operations take the direct path while run_cmd is the module's own: whichever
        # way the attribute changes, the next command must see it.
        original = helper.run_cmd
        ways = {
            "setattr": lambda f: setattr(helper, "run_cmd", f),
            "dict item": lambda f: vars(helper).__setitem__("run_cmd", f),
            "dict update": lambda f: vars(helper).update(run_cmd=f),
        }
        for name, put in ways.items():
            with self.subTest(name):
                put(lambda cmd, timeout=15: (0, "yerine", ""))
                try:
                    self.assertEqual(helper.set_mtu("eth0", 1400)["logs"][0]["stdout"], "yerine")
                finally:
                    put(original)
                before = len(self.fakes.calls())
                helper.set_mtu("eth0", 1400)
                self.assertGreater(len(self.fakes.calls()), before)
        published = list(vars(helper).items())
        del helper.run_cmd
        try:
            with self.assertRaises(AttributeError):
                helper.set_mtu("eth0", 1400)
        finally:
            vars(helper).clear()  # back in the published order
            vars(helper).update(published)
        before = len(self.fakes.calls())
        helper.set_mtu("eth0", 1400)
        self.assertGreater(len(self.fakes.calls()), before)

    def test_replacement_results_are_checked(self):
        for bad in [None, (0, "", b""), (0, ""), ("0", "", ""), "abc", (0, "", "", "")]:
            with self.subTest(bad), mock.patch("tq8_root_helper.run_cmd", return_value=bad):
                with self.assertRaises(TypeError):
                    helper.set_mtu("eth0", 1400)

    def test_exception_in_replacement_reaches_caller(self):
        class Boom(Exception):
            pass

        boom = Boom("patlama")
        with mock.patch("tq8_root_helper.run_cmd", side_effect=boom):
            with self.assertRaises(Boom) as caught:
                helper.remove_dns_redirect()
        self.assertIs(caught.exception, boom)

    def test_redirect_removal_through_replaced_run_cmd(self):
        with mock.patch("tq8_root_helper.run_cmd", return_value=(1, "", "")) as run:
            self.assertTrue(helper.remove_dns_redirect())
        self.assertEqual(run.call_args_list[0], mock.call(DNAT_CHECK, 15))

    def test_wireguard_uses_replaced_set_mtu(self):
        self.fakes.rule("ip", "-o", "-4", "route", stdout="default via 10.0.0.1 dev wlan7 proto dhcp")
        with mock.patch("tq8_root_helper.set_mtu", return_value=None) as set_mtu:
            record = helper.manage_wireguard("up", "", 1380)
        set_mtu.assert_called_once_with("wlan7", 1380)
        self.assertEqual(record["mtu"], 1380)
        self.assertNotIn("wlan7", str(self.fakes.calls()))


class MainInProcessTest(unittest.TestCase):
    """main() called from Python: the module's current functions, SystemExit, and an
    application's argparse left as it was."""

    def main(self, *args):
        out = io.StringIO()
        with mock.patch.object(sys, "argv", ["tq8_root_helper", *args]), \
                contextlib.redirect_stdout(out), contextlib.redirect_stderr(io.StringIO()):
            try:
                result = helper.main()
            except SystemExit as e:
                result = e
        self.assertIs(argparse._, gettext.gettext)
        self.assertIs(argparse.ngettext, gettext.ngettext)
        return result, out.getvalue()

    def test_dispatch_to_current_functions(self):
        record = {"ok": True, "logs": []}
        cases = [
            ("set_mtu", ["mtu", "--iface", "eth9"], mock.call("eth9", 1420)),
            ("manage_killswitch", ["killswitch", "--enable", "--split-ips", "a,b"],
             mock.call(enable=True, split_ips=["a", "b"])),
            ("manage_wireguard", ["wireguard", "--wg-action", "down", "--conf", "/c"],
             mock.call("down", conf_path="/c", mtu=1420)),
            ("emergency_network_reset", ["reset-network"], mock.call()),
        ]
        for name, args, expected in cases:
            with self.subTest(name), mock.patch(f"tq8_root_helper.{name}", return_value=record) as fn:
                result, out = self.main(*args)
                self.assertIsNone(result)
                self.assertEqual(fn.call_args_list, [expected])
                self.assertEqual(out, '{"ok": true, "logs": []}\n')

    def test_exit_requests(self):
        cases = [
            ("remove_dns_redirect", True, ["dns-off"], 0, '{"ok": true}\n'),
            ("remove_dns_redirect", False, ["dns-off"], 1, '{"ok": false}\n'),
            ("dns_guard", 5, ["dns-guard"], 5, ""),
        ]
        for name, value, args, code, printed in cases:
            with self.subTest(args=args, value=value), \
                    mock.patch(f"tq8_root_helper.{name}", return_value=value):
                result, out = self.main(*args)
                self.assertIsInstance(result, SystemExit)
                self.assertEqual((result.code, out), (code, printed))

    def test_parse_endings_restore_argparse(self):
        for args, code in [(["--help"], 0), (["nope"], 2), ([], 2)]:
            with self.subTest(args):
                result, _ = self.main(*args)
                self.assertEqual(result.code, code)


if __name__ == "__main__":
    unittest.main()
