"""The Debian package as cpack builds it: layout, owners and modes, control fields, the
pre-removal script, the run path, what lintian says, and a module that imports from the
unpacked files."""

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
DOC = "/usr/share/doc/tq8-vpn-adblocker"
OVERRIDES = "/usr/share/lintian/overrides/tq8-vpn-adblocker"
EXT_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")

FILES = {
    PREFIX + "/launcher": "-rwxr-xr-x",
    PREFIX + "/tq8_root_helper": "-rwxr-xr-x",
    # Debian's CMake installs shared objects without the execute bits, others keep them.
    PREFIX + "/tq8_root_helper" + EXT_SUFFIX: ("-rw-r--r--", "-rwxr-xr-x"),
    PREFIX + "/tq8_root_helper.pyi": "-rw-r--r--",
    POLICY: "-rw-r--r--",
    DOC + "/copyright": "-rw-r--r--",
    DOC + "/changelog.gz": "-rw-r--r--",
    OVERRIDES: "-rw-r--r--",
}
# The tags a package may carry, overridden in it with their reasons: the fixed install
# directory, and the run path of a build against a Python outside the system's directories.
ALLOWED_OVERRIDES = {"dir-or-file-in-opt", "custom-library-search-path"}


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
                open(os.path.join(BUILD_DIR, "tq8_root_helper.pyi"), "rb") as g:
            self.assertEqual(f.read(), g.read())

    def test_control_fields(self):
        def field(name):
            return run("dpkg-deb", "-f", self.deb, name).strip()

        self.assertEqual(field("Package"), "tq8-vpn-adblocker")
        depends = [sorted(a.split("(")[0].strip() for a in d.split("|"))
                   for d in field("Depends").split(",")]
        for needed in (["libpython3.12", "libpython3.12t64"], ["iptables"], ["iproute2"],
                       ["pkexec", "policykit-1"], ["polkitd"]):
            self.assertIn(needed, depends)
        self.assertEqual(field("Recommends"), "wireguard-tools")

    def runpaths(self):
        """{program: RUNPATH or None} of the two programs that link the runtime."""
        found = {}
        for name in ("launcher", "tq8_root_helper"):
            dyn = run("readelf", "-d", os.path.join(self.root, PREFIX.lstrip("/"), name))
            paths = [l.split("[", 1)[1].rstrip("]") for l in dyn.splitlines()
                     if "(RUNPATH)" in l or "(RPATH)" in l]
            found[name] = paths[0] if paths else None
        return found

    def test_runpath_only_for_a_runtime_outside_the_system(self):
        libdir = run(PYTHON, "-c", "import sysconfig; print(sysconfig.get_config_var('LIBDIR'))").strip()
        system = os.path.realpath(libdir) in {"/usr/lib", "/lib", "/usr/lib/x86_64-linux-gnu",
                                              "/lib/x86_64-linux-gnu", "/usr/lib/aarch64-linux-gnu",
                                              "/lib/aarch64-linux-gnu"}
        description = run("dpkg-deb", "-f", self.deb, "Description")
        with open(os.path.join(self.root, OVERRIDES.lstrip("/"))) as f:
            overrides = f.read()
        for name, runpath in self.runpaths().items():
            with self.subTest(name):
                self.assertEqual(runpath, None if system else libdir)
        self.assertEqual("NOT FOR USERS" in description, not system)
        self.assertEqual("custom-library-search-path" in overrides, not system)

    def test_lintian_reports_nothing_but_the_overridden_tags(self):
        if shutil.which("lintian") is None:
            if os.environ.get("CI"):
                self.fail("lintian is missing on CI")
            self.skipTest("lintian is not installed")
        r = subprocess.run(["lintian", "--tag-display-limit", "0", "--show-overrides", self.deb],
                           capture_output=True, text=True)
        tags = [l.split()[:3] for l in r.stdout.splitlines() if l[:2] in ("E:", "W:", "O:")]
        self.assertEqual([t for t in tags if t[0] != "O:"], [], r.stdout)
        self.assertLessEqual({t[2] for t in tags}, ALLOWED_OVERRIDES, r.stdout)
        self.assertIn("dir-or-file-in-opt", {t[2] for t in tags})

    def test_copyright_and_changelog(self):
        doc = os.path.join(self.root, DOC.lstrip("/"))
        with open(os.path.join(doc, "copyright")) as f:
            self.assertTrue(f.readline().startswith("Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"))
        changes = run("dpkg-parsechangelog", "-l", "-", "-S", "Version",
                      input=run("gzip", "-dc", os.path.join(doc, "changelog.gz")))
        self.assertEqual(changes.strip(), run("dpkg-deb", "-f", self.deb, "Version").strip())

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
