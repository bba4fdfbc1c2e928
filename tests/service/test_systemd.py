"""The shipped unit under a real systemd.

systemd runs as PID 1 of new PID, mount, cgroup, UTS and IPC namespaces, on
a root made of this machine's /usr (an overlay takes what the package
installs) and a copy of its /etc without the machine's own services.  The
unit starts as its dynamic user, with the state directory systemd makes for
it (/var/lib/notavero-serve, a link to private/notavero-serve), against
notavero-sim's pseudo-terminal; a bill goes through the WebSocket; the unit
restarts and keeps its journal and its token.  Skipped, with the reason,
where systemd cannot boot so (not root, no cgroup2 hierarchy to make a
cgroup in, systemd's boot failing: its console output is in the reason),
and in sanitizer builds."""

import contextlib
import grp
import os
import pathlib
import shutil
import socket
import subprocess
import tempfile
import unittest

from test_service import HUNDRED, SERVE, WebSocket, idle, wait_until
from tests import children  # noqa: E402  (test_service puts bindings/python on sys.path)
from tests.support import TIMEOUT, Simulator

REPOSITORY = pathlib.Path(__file__).resolve().parents[2]
SYSTEMD = "/lib/systemd/systemd"
UNIT = "notavero-serve"

# Run by sh in the new namespaces: $1 the directory the root is built on, $2
# one for the overlay's upper layer.  Every mount stays inside the mount
# namespace (unshare makes its propagation private).
BOOT = r"""
set -e
root=$1 upper=$2
mount -t tmpfs -o mode=755 tmpfs "$root"
mount -t tmpfs -o mode=700 tmpfs "$upper"
mkdir "$upper/data" "$upper/work"
cd "$root"
mkdir usr etc var run tmp proc sys dev root oldroot
mount -t overlay overlay -o "lowerdir=/usr,upperdir=$upper/data,workdir=$upper/work" usr
ln -s usr/bin bin; ln -s usr/sbin sbin; ln -s usr/lib lib; ln -s usr/lib64 lib64
chmod 1777 tmp
cp -a /etc/. etc/
# None of this machine's services, and nothing that sets the kernel's
# settings or devices for the whole machine.
rm -rf etc/systemd/system/*.wants
for unit in systemd-sysctl.service systemd-modules-load.service systemd-remount-fs.service \
    systemd-binfmt.service systemd-udevd.service systemd-udev-trigger.service systemd-hwdb-update.service \
    systemd-random-seed.service systemd-timesyncd.service systemd-update-utmp.service \
    systemd-tmpfiles-clean.timer dev-hugepages.mount sys-kernel-debug.mount sys-kernel-tracing.mount \
    sys-kernel-config.mount sys-fs-fuse-connections.mount proc-sys-fs-binfmt_misc.automount; do
  ln -sf /dev/null "etc/systemd/system/$unit"
done
mount -t proc proc proc
mount --rbind /sys sys
mount -o remount,bind,ro sys
mount -t cgroup2 cgroup2 sys/fs/cgroup
mount -t tmpfs -o mode=755 tmpfs dev
for node in null zero full random urandom tty; do
  touch "dev/$node"
  mount --bind "/dev/$node" "dev/$node"
done
mkdir dev/pts dev/shm
mount --bind /dev/pts dev/pts
ln -s pts/ptmx dev/ptmx
mount -t tmpfs -o mode=1777 tmpfs dev/shm
pivot_root . oldroot
umount -l /oldroot
exec env -i container=notavero-test "$3" --unit=basic.target
"""

# Put into a cgroup of its own, whose namespace systemd then owns.
ENTER = 'echo $$ > "$1/cgroup.procs" && shift && exec unshare --kill-child --pid --fork --mount --cgroup ' \
        '--uts --ipc --propagation private sh -c "$@"'


def cgroup2_directory():
    """This process's cgroup in the cgroup2 hierarchy, or None."""
    mount = None
    for line in pathlib.Path("/proc/self/mountinfo").read_text().splitlines():
        fields = line.split(" - ")
        if len(fields) == 2 and fields[1].split()[0] == "cgroup2":
            mount = fields[0].split()[4]
    own = next((line[3:] for line in pathlib.Path("/proc/self/cgroup").read_text().splitlines()
                if line.startswith("0::")), None)
    return pathlib.Path(mount + own) if mount and own is not None else None


def free_port():
    with contextlib.closing(socket.socket()) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class SystemdUnitTest(children.TestCase):
    def setUp(self):
        super().setUp()
        missing = [tool for tool in ("unshare", "nsenter", "pivot_root") if not shutil.which(tool)]
        if os.geteuid() != 0:
            self.skipTest("needs root: systemd is booted in namespaces of its own")
        if not os.path.exists(SYSTEMD) or missing:
            self.skipTest(f"{SYSTEMD} or {', '.join(missing)} is not installed")
        if os.environ.get("NOTAVERO_SANITIZE"):
            self.skipTest("the unit's sandbox (no writable and executable memory, the system call filter, "
                          "MemoryMax) is meant for the service as shipped; a sanitizer's runtime is not tried "
                          "under it")
        parent = cgroup2_directory()
        if parent is None:
            self.skipTest("no cgroup2 hierarchy is mounted: systemd needs one to boot in a namespace")
        self.cgroup = parent / f"notavero-systemd-test-{os.getpid()}"
        try:
            self.cgroup.mkdir()
        except OSError as error:
            self.skipTest(f"cannot make a cgroup for systemd under {parent}: {error}")
        self.addCleanup(self.remove_cgroup)
        self.work = tempfile.TemporaryDirectory()
        self.addCleanup(self.work.cleanup)
        self.sim = Simulator()
        self.addCleanup(self.sim.close)
        self.boot()

    def remove_cgroup(self):
        for directory in sorted((path for path in self.cgroup.rglob("*") if path.is_dir()),
                                key=lambda path: len(path.parts), reverse=True):
            directory.rmdir()
        self.cgroup.rmdir()

    def boot(self):
        work = pathlib.Path(self.work.name)
        (work / "root").mkdir()
        (work / "upper").mkdir()
        self.console = open(work / "console", "w+b")
        self.addCleanup(self.console.close)
        self.manager = children.popen(["sh", "-c", ENTER, "enter", str(self.cgroup), BOOT, "boot",
                                       str(work / "root"), str(work / "upper"), SYSTEMD],
                                      stdout=self.console, stderr=subprocess.STDOUT)
        self.addCleanup(self.power_off)

        def systemd_pid():
            """unshare's child once it is systemd with its private socket."""
            try:
                pid = pathlib.Path(f"/proc/{self.manager.pid}/task/{self.manager.pid}/children").read_text().split()[0]
                ready = pathlib.Path(f"/proc/{pid}/comm").read_text() == "systemd\n" and os.path.exists(
                    f"/proc/{pid}/root/run/systemd/private")
            except (OSError, IndexError):
                return None
            return int(pid) if ready else None

        with contextlib.suppress(AssertionError):
            wait_until(lambda: self.manager.poll() is not None or systemd_pid(), "systemd's private socket")
        self.pid = systemd_pid()
        if self.pid is None or self.manager.poll() is not None:
            self.skipTest(f"systemd did not boot in namespaces here: {self.console_text()}")
        self.root = pathlib.Path(f"/proc/{self.pid}/root")
        state = self.systemctl("is-system-running", "--wait", check=False).stdout.strip()
        if state not in ("running", "degraded"):
            self.skipTest(f"systemd booted to {state!r}: {self.systemctl('--failed', check=False).stdout}")

    def console_text(self):
        self.console.seek(0)
        return self.console.read().decode(errors="replace")[-4000:]

    def inside(self, *command, check=True):
        result = subprocess.run(["nsenter", "-t", str(self.pid), "-m", "-p", "--", *command], capture_output=True,
                                text=True, timeout=TIMEOUT, check=False)
        if check and result.returncode != 0:
            raise AssertionError(f"{' '.join(command)}: status {result.returncode}\n{result.stdout}{result.stderr}"
                                 f"\n{self.service_log()}")
        return result

    def systemctl(self, *args, check=True):
        return self.inside("systemctl", "--no-pager", *args, check=check)

    def service_log(self):
        return self.inside("journalctl", "--no-pager", "-o", "cat", "-u", UNIT, check=False).stdout

    def show(self, prop):
        return self.systemctl("show", "-p", prop, "--value", UNIT).stdout.strip()

    def power_off(self):
        if self.manager.poll() is None:
            self.systemctl("poweroff", check=False)
            try:
                self.manager.wait(timeout=TIMEOUT)
            except subprocess.TimeoutExpired:
                pass
        children.kill(self.manager)

    def install(self, port):
        """What the package installs, and the administrator's serve.conf."""
        shutil.copy2(SERVE, self.root / "usr/bin/notavero-serve")
        shutil.copytree(REPOSITORY / "service/www", self.root / "usr/share/notavero-serve/www")
        shutil.copy2(REPOSITORY / "service/notavero-serve.service", self.root / "usr/lib/systemd/system")
        (self.root / "etc/notavero").mkdir()
        (self.root / "etc/notavero/serve.conf").write_text(
            f"device = kiosk={self.sim.path}\nhttp-port = {port}\nescrow-timeout = 8000\n")
        # A serial port's owner and mode, as udev gives them.
        os.chown(self.sim.path, 0, grp.getgrnam("dialout").gr_gid)
        os.chmod(self.sim.path, 0o660)
        self.systemctl("daemon-reload")

    def client(self, port, token, since=None):
        """A client that said hello with the token, and the events replayed
        to it (they come before the hello's reply)."""
        ws = WebSocket(port)
        self.addCleanup(ws.close)
        ws.send({"cmd": "hello", "token": token, **({} if since is None else {"since": since})})
        seen = []
        hello = ws.wait_for(lambda m: seen.append(m) or m["type"] in ("ok", "error"), "hello")
        self.assertEqual(hello["type"], "ok", hello)
        events = [m for m in seen[:-1] if "id" in m]
        self.assertEqual(len(events), hello["replayed"], seen)
        return ws, events

    def test_the_unit_starts_as_its_dynamic_user_takes_a_bill_and_keeps_journal_and_token_over_a_restart(self):
        port = free_port()
        self.install(port)
        self.systemctl("start", UNIT)  # Type=notify: returns once the service is ready
        link = self.root / "var/lib/notavero-serve"
        self.assertEqual(os.readlink(link), "private/notavero-serve")
        token = (link / "token").read_text().strip()
        first = self.show("MainPID")

        ws, _ = self.client(port, token)
        self.assertEqual(ws.reply({"cmd": "enable"})["type"], "ok")
        ws.wait_for(idle, "acceptance on")
        self.sim.command("insert 4")
        escrow = ws.wait_for(lambda m: m["type"] == "escrow", "escrow")
        self.assertEqual(ws.reply({"cmd": "stack", "id": escrow["id"]})["type"], "ok")
        stacked = ws.wait_for(lambda m: m["type"] == "stacked", "stacked")
        self.assertEqual((stacked["device"], stacked["amount"]), ("kiosk", HUNDRED))
        ws.close()

        self.systemctl("restart", UNIT)
        self.assertNotEqual(self.show("MainPID"), first)
        self.assertEqual((link / "token").read_text().strip(), token)
        again, replayed = self.client(port, token, since=0)
        self.assertIn((stacked["id"], "stacked", stacked["journal"]),
                      [(m["id"], m["type"], m["journal"]) for m in replayed], replayed)
        self.assertEqual(again.reply({"cmd": "ack", "id": stacked["id"]})["type"], "ok")
        again.close()

        # The driver's log went through LogsDirectory's link, and SIGTERM
        # ends the sandboxed service cleanly.
        self.assertEqual(os.readlink(self.root / "var/log/notavero"), "private/notavero")
        self.assertGreater((self.root / "var/log/notavero/Notavero.log").stat().st_size, 0)
        self.systemctl("stop", UNIT)
        self.assertEqual((self.show("Result"), self.show("ExecMainStatus")), ("success", "0"), self.service_log())
        self.assertEqual(self.show("NRestarts"), "0", self.service_log())


if __name__ == "__main__":
    unittest.main()
