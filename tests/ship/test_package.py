"""The Debian package as cpack builds it: layout, owners and modes, control fields, the
pre-removal script, and a module that imports from the unpacked files."""

import os
import shutil
import subprocess
import sysconfig
import tempfile
import unittest

SOURCE_DIR = os.environ["TQ8_SOURCE_DIR"]
BUILD_DIR = os.environ["TQ8_BUILD_DIR"]
PYTHON = os.environ.get("TQ8_PYTHON", "python3.12")
CPACK = os.environ.get("TQ8_CPACK", "cpack")
PREFIX = "/opt/tq8-vpn-adblocker"
POLICY = "/usr/share/polkit-1/actions/com.tq8.vpnadblocker.roothelper.policy"
EXT_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")

FILES = {
    PREFIX + "/launcher": "-rwxr-xr-x",
    PREFIX + "/tq8_root_helper": "-rwxr-xr-x",
    # Debian's CMake installs shared objects without the execute bits, others keep them.
    PREFIX + "/tq8_root_helper" + EXT_SUFFIX: ("-rw-r--r--", "-rwxr-xr-x"),
    PREFIX + "/tq8_root_helper.pyi": "-rw-r--r--",
    POLICY: "-rw-r--r--",
}


def run(*cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, check=True, **kw).stdout


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="tq8-package.")
        # -B keeps cpack's staging and the .deb out of the build directory, so concurrent runs
        # and a developer's own `cpack` do not meet.
        out = os.path.join(cls.tmp, "out")
        r = subprocess.run([CPACK, "-G", "DEB", "--config",
                            os.path.join(BUILD_DIR, "CPackConfig.cmake"), "-B", out],
                           capture_output=True, text=True)
        if r.returncode != 0:
            raise AssertionError(f"cpack failed:\n{r.stdout}\n{r.stderr}")
        debs = [f for f in os.listdir(out) if f.endswith(".deb")]
        if len(debs) != 1:
            raise AssertionError(f"expected one .deb, got {debs}")
        cls.deb = os.path.join(out, debs[0])
        cls.root = os.path.join(cls.tmp, "root")
        run("dpkg-deb", "-x", cls.deb, cls.root)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def listing(self):
        """{path: (mode, owner)} from the archive itself, where the owners are recorded."""
        entries = {}
        for line in run("dpkg-deb", "-c", self.deb).splitlines():
            mode, owner, _size, _date, _time, path = line.split(None, 5)
            entries[path[1:].rstrip("/") or "/"] = (mode, owner)
        return entries

    def test_layout_owners_and_modes(self):
        entries = self.listing()
        files = {p: m for p, (m, _) in entries.items() if not m.startswith("d")}
        self.assertEqual(sorted(files), sorted(FILES))
        for path, mode in files.items():
            expected = FILES[path]
            self.assertIn(mode, expected if isinstance(expected, tuple) else (expected,), path)
        for path, (mode, owner) in entries.items():
            with self.subTest(path):
                self.assertEqual(owner, "root/root")
                # Nothing that pkexec runs as root, nor a directory above it, may be writable
                # by anyone but root.
                self.assertEqual(mode[5], "-", "group-writable")
                self.assertEqual(mode[8], "-", "world-writable")
                if mode.startswith("d"):
                    self.assertEqual(mode, "drwxr-xr-x")

    def test_files_are_the_installed_ones(self):
        with open(os.path.join(self.root, POLICY.lstrip("/")), "rb") as f, \
                open(os.path.join(SOURCE_DIR, "packaging", os.path.basename(POLICY)), "rb") as g:
            self.assertEqual(f.read(), g.read())
        with open(os.path.join(self.root, PREFIX.lstrip("/"), "tq8_root_helper.pyi"), "rb") as f, \
                open(os.path.join(SOURCE_DIR, "root_helper", "tq8_root_helper.pyi"), "rb") as g:
            self.assertEqual(f.read(), g.read())

    def test_control_fields(self):
        def field(name):
            return run("dpkg-deb", "-f", self.deb, name).strip()

        self.assertEqual(field("Package"), "tq8-vpn-adblocker")
        depends = [sorted(a.split("(")[0].strip() for a in d.split("|"))
                   for d in field("Depends").split(",")]
        for needed in (["libpython3.12", "libpython3.12t64"], ["iptables"], ["iproute2"]):
            self.assertIn(needed, depends)
        self.assertEqual(field("Recommends"), "wireguard-tools")

    def test_prerm_is_the_maintainer_script(self):
        control = os.path.join(self.tmp, "control")
        run("dpkg-deb", "-e", self.deb, control)
        prerm = os.path.join(control, "prerm")
        self.assertEqual(os.stat(prerm).st_mode & 0o7777, 0o755)
        with open(prerm, "rb") as f, open(os.path.join(SOURCE_DIR, "packaging", "prerm"), "rb") as g:
            self.assertEqual(f.read(), g.read())

    def test_module_imports_from_the_unpacked_directory(self):
        d = os.path.join(self.root, PREFIX.lstrip("/"))
        out = run(PYTHON, "-I", "-c",
                  "import sys; sys.path.insert(0, sys.argv[1]); import tq8_root_helper; "
                  "print(tq8_root_helper.__file__); print(tq8_root_helper.STUB_DNS)", d)
        self.assertEqual(out.splitlines(), [os.path.join(d, "tq8_root_helper" + EXT_SUFFIX),
                                            "127.0.0.53"])

    def test_unpacked_command_starts(self):
        helper = os.path.join(self.root, PREFIX.lstrip("/"), "tq8_root_helper")
        r = subprocess.run([helper, "--help"], capture_output=True, text=True, env={"PATH": "/usr/bin:/bin"})
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("TQ8 Sipran Root Helper", r.stdout)


if __name__ == "__main__":
    unittest.main()
