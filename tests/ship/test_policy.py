"""The polkit action: valid against polkit's own DTD, and naming the helper the package installs."""

import os
import re
import subprocess
import unittest
import xml.etree.ElementTree as ET

SOURCE_DIR = os.environ["TQ8_SOURCE_DIR"]
BUILD_DIR = os.environ["TQ8_BUILD_DIR"]
ACTION_ID = "com.tq8.vpnadblocker.roothelper"
POLICY = os.path.join(SOURCE_DIR, "packaging", ACTION_ID + ".policy")
# Shipped by Debian's polkitd (scripts/setup.sh installs it).
DTD = "/usr/share/polkit-1/policyconfig-1.dtd"


class PolicyFile(unittest.TestCase):
    def test_valid_against_polkit_dtd(self):
        self.assertTrue(os.path.exists(DTD), f"{DTD} missing: install polkitd")
        r = subprocess.run(["xmllint", "--noout", "--nonet", "--dtdvalid", DTD, POLICY],
                           capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stderr)

    def test_one_action_for_the_installed_helper(self):
        root = ET.parse(POLICY).getroot()
        actions = root.findall("action")
        self.assertEqual([a.get("id") for a in actions], [ACTION_ID])
        action = actions[0]
        # One text each, without xml:lang: the Turkish text is what the dialog shows everywhere.
        for tag in ("description", "message"):
            texts = action.findall(tag)
            self.assertEqual(len(texts), 1, tag)
            self.assertTrue(texts[0].text.strip(), tag)
            self.assertEqual(texts[0].attrib, {}, tag)
        defaults = {d.tag: d.text for d in action.find("defaults")}
        self.assertEqual(defaults, {"allow_any": "auth_admin", "allow_inactive": "auth_admin",
                                    "allow_active": "auth_admin_keep"})
        annotations = {a.get("key"): a.text for a in action.findall("annotate")}
        self.assertEqual(annotations, {
            "org.freedesktop.policykit.exec.path": "/opt/tq8-vpn-adblocker/tq8_root_helper"})

    def test_exec_path_is_where_the_package_puts_the_helper(self):
        with open(os.path.join(BUILD_DIR, "CPackConfig.cmake"), encoding="utf-8") as f:
            prefix = re.search(r'set\(CPACK_PACKAGING_INSTALL_PREFIX "([^"]*)"\)', f.read())
        self.assertIsNotNone(prefix)
        path = ET.parse(POLICY).getroot().find("action/annotate").text
        self.assertEqual(path, prefix.group(1) + "/tq8_root_helper")


if __name__ == "__main__":
    unittest.main()
