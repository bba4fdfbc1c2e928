"""`notavero ports` on whatever machine runs the tests: the listing's format,
and that it agrees with what /dev holds.  The machine's hardware is not
assumed: no serial device at all is a valid answer."""

import fcntl
import glob
import grp
import json
import os
import pathlib
import pwd
import re
import subprocess
import tempfile
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
            self.assertEqual(set(port), {"path", "kind", "description", "target", "problem"})
            self.assertIn(port["kind"], KINDS)
            problem = f"  -- {port['problem']}" if port["problem"] else ""
            self.assertRegex(line, r"^%s +%s%s$" % (re.escape(port["path"]), re.escape(port["description"]),
                                                     re.escape(problem)))
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

    def test_a_port_held_by_a_program_names_it(self):
        # A pseudo-terminal stands for the port; this test holds the lock the
        # driver takes (flock), as a running kiosk program would.
        master, slave = os.openpty()
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        path = os.ttyname(slave)
        self.assertEqual(json.loads(run("--json", path).stdout)[0]["problem"], None)
        fcntl.flock(slave, fcntl.LOCK_EX | fcntl.LOCK_NB)
        result = run(path)
        self.assertEqual(result.returncode, 0, result.stderr)
        program = pathlib.Path(f"/proc/{os.getpid()}/comm").read_text().strip()
        self.assertIn(f"-- busy: held by {program} (pid {os.getpid()})", result.stdout)
        # notavero run, refused the port, says the same.
        refused = subprocess.run([TOOL, "run", "--device", path], capture_output=True, text=True, timeout=60,
                                 stdin=subprocess.DEVNULL)
        self.assertNotEqual(refused.returncode, 0)
        self.assertIn(f"{path}: busy: held by {program} (pid {os.getpid()})", refused.stderr)

    @unittest.skipUnless(os.geteuid() == 0 and hasattr(os, "setuid"), "needs root to run the tool as another user")
    def test_a_port_the_user_may_not_open_names_the_group(self):
        master, slave = os.openpty()
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        path = os.ttyname(slave)
        os.chmod(path, 0o660)
        nobody = pwd.getpwnam("nobody")
        result = subprocess.run([TOOL, "ports", path], capture_output=True, text=True, timeout=60,
                                user=nobody.pw_uid, group=nobody.pw_gid, extra_groups=[])
        self.assertEqual(result.returncode, 0, result.stderr)
        group = grp.getgrgid(os.stat(path).st_gid).gr_name
        self.assertIn(f"-- no permission: the device is open to group {group}; add the user to it "
                      f"(sudo adduser $USER {group})", result.stdout)
        refused = subprocess.run([TOOL, "run", "--device", path], capture_output=True, text=True, timeout=60,
                                 user=nobody.pw_uid, group=nobody.pw_gid, extra_groups=[], stdin=subprocess.DEVNULL)
        self.assertNotEqual(refused.returncode, 0)
        self.assertIn(f"{path}: no permission: the device is open to group {group}", refused.stderr)

    @unittest.skipUnless(os.geteuid() == 0 and hasattr(os, "setuid"), "needs root to run the tool as another user")
    def test_run_and_log_say_when_the_log_cannot_be_written_or_read(self):
        private = self.enterContext(tempfile.TemporaryDirectory())  # root's, mode 0700
        nobody = pwd.getpwnam("nobody")
        env = dict(os.environ, NOTAVERO_LOG=os.path.join(private, "logs", "Notavero.log"))
        result = subprocess.run([TOOL, "run", "--device", "/nonexistent/ttyUSB9"], capture_output=True, text=True,
                                timeout=60, user=nobody.pw_uid, group=nobody.pw_gid, extra_groups=[], env=env,
                                stdin=subprocess.DEVNULL)
        self.assertIn(f"the driver cannot write its log {env['NOTAVERO_LOG']} (Permission denied)", result.stderr)
        # notavero log on that directory says why it reads nothing, not that it holds no log.
        result = subprocess.run([TOOL, "log", private], capture_output=True, text=True, timeout=60,
                                user=nobody.pw_uid, group=nobody.pw_gid, extra_groups=[], stdin=subprocess.DEVNULL)
        self.assertIn(f"cannot read the directory {private}: Permission denied", result.stderr)

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
