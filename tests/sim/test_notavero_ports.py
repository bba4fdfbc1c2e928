"""`notavero ports` on whatever machine runs the tests: the listing's format,
and that it agrees with what /dev holds.  The machine's hardware is not
assumed: no serial device at all is a valid answer."""

import glob
import json
import os
import re
import subprocess
import unittest

TOOL = os.environ.get("NOTAVERO_TOOL", "notavero")
KINDS = {"serial", "usb-serial", "usb-modem", "link"}


def run(*args):
    return subprocess.run([TOOL, "ports", *args], capture_output=True, text=True, timeout=60,
                          stdin=subprocess.DEVNULL)


def number(path):
    return int(re.search(r"(\d+)$", path).group(1))


class PortsTest(unittest.TestCase):
    def test_text_and_json_list_the_same_devices_present(self):
        text = run()
        self.assertEqual(text.returncode, 0, text.stderr)
        listing = run("--json")
        self.assertEqual(listing.returncode, 0, listing.stderr)
        ports = json.loads(listing.stdout)
        self.assertIsInstance(ports, list)

        lines = text.stdout.splitlines()
        self.assertEqual(len(lines), len(ports), text.stdout)
        for line, port in zip(lines, ports):
            self.assertEqual(set(port), {"path", "kind", "description", "target"})
            self.assertIn(port["kind"], KINDS)
            self.assertRegex(line, r"^%s +%s$" % (re.escape(port["path"]), re.escape(port["description"])))
            self.assertTrue(os.path.lexists(port["path"]), port["path"])
            self.assertFalse(port["path"].startswith("/dev/pts/"))
            if port["kind"] == "link":
                self.assertEqual(port["target"], os.path.realpath(port["path"]) if port["target"] else None)
            else:
                self.assertIsNone(port["target"])
        if not ports:
            self.assertIn("no serial device", text.stderr)

        paths = [port["path"] for port in ports]
        serial = [p for p in paths if re.fullmatch(r"/dev/ttyS\d+", p)]
        self.assertEqual(serial, sorted(serial, key=number))
        self.assertTrue(set(serial) <= set(glob.glob("/dev/ttyS*")))  # only those that answer
        for pattern in ("/dev/ttyUSB*", "/dev/ttyACM*", "/dev/serial/by-id/*"):
            self.assertTrue(set(glob.glob(pattern)) <= set(paths), pattern)  # every one present

    def test_bad_argument_and_help(self):
        result = run("--bogus")
        self.assertEqual(result.returncode, 2)
        self.assertEqual(result.stdout, "")
        self.assertIn("notavero: ports:", result.stderr)
        result = run("--help")
        self.assertEqual(result.returncode, 0)
        self.assertIn("--json", result.stdout)


if __name__ == "__main__":
    unittest.main()
