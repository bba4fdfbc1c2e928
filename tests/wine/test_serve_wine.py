"""notavero-serve.exe under Wine, its validator on COM5 (notavero-sim's
pseudo-terminal), a WebSocket client on Linux: a bill taken, journaled with
the hash chain and read back from the prefix; a Ctrl+C with a bill in escrow
returns it and journals it; a restart replays the stacked bill nobody
acknowledged; a state directory other accounts may write is refused.  Where
Wine's service control manager allows it, the same as a Windows service:
install, start, a bill, the manager's stop with a bill in escrow, uninstall.

Run by scripts/test-wine with WINEPREFIX (a prefix with a running
wineserver), NOTAVERO_SERVE_EXE and NOTAVERO_SERVE_WWW (the SDK archive's
serve/), NOTAVERO_SIM, NOTAVERO_WINE_SHIM (the modem-line shim to preload)
and NOTAVERO_WINE_LOGS (where the programs' output goes: Wine's own
processes inherit descriptors, so never a pipe).
"""

import contextlib
import hashlib
import http.client
import os
import pathlib
import re
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import time
import unittest

REPOSITORY = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPOSITORY / "tests" / "service"))
# The service tests' WebSocket client and helpers.
from test_service import HUNDRED, WebSocket, idle, is_escrow, of_type  # noqa: E402
from tests import children  # noqa: E402
from tests.support import TIMEOUT, Simulator  # noqa: E402

PREFIX = pathlib.Path(os.environ["WINEPREFIX"])
EXE = os.environ["NOTAVERO_SERVE_EXE"]
SHIM = os.environ.get("NOTAVERO_WINE_SHIM", "")
LOGS = pathlib.Path(os.environ.get("NOTAVERO_WINE_LOGS", "."))
STATE = PREFIX / "drive_c" / "ProgramData" / "notavero-serve"  # %ProgramData%\notavero-serve
COM5 = PREFIX / "dosdevices" / "com5"
WWW = pathlib.Path(os.environ.get("NOTAVERO_SERVE_WWW") or REPOSITORY / "service" / "www")
# Slower than on Linux: Wine starts a process in a second or two, more with
# both cores busy.
START_TIMEOUT = 3 * TIMEOUT

# Holds the simulator's pty as the controlling terminal of a session of its
# own, as tests/wine/sim_line.py does: otherwise wineserver, a session leader
# that opens it without O_NOCTTY, adopts it and is hung up when the
# simulator ends.  It ends when its standard input closes.
HOLDER = """
import fcntl, os, signal, sys, termios
signal.signal(signal.SIGHUP, signal.SIG_IGN)
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
fcntl.ioctl(fd, termios.TIOCSCTTY, 0)
print("held", flush=True)
sys.stdin.read()
"""


def windows_path(path):
    """A Linux path as Wine's Z: drive names it."""
    return "Z:" + str(path).replace("/", "\\")


def wine_environment():
    env = dict(os.environ, WINEDEBUG="-all")
    if SHIM:
        env["LD_PRELOAD"] = SHIM
    return env


def wait_for_text(path, pattern, process, what, timeout=START_TIMEOUT):
    """Reads the file until pattern matches (returns the match), the
    process ends or the time is up (fails with what the file holds)."""
    deadline = time.monotonic() + timeout
    while True:
        text = path.read_text(errors="replace") if path.exists() else ""
        match = re.search(pattern, text)
        if match:
            return match
        ended = process is not None and process.poll() is not None
        if ended or time.monotonic() > deadline:
            raise AssertionError(f"{what}: {'the program ended' if ended else 'timed out'}; {path} holds:\n{text}")
        time.sleep(0.05)


def chain_link(previous, row):
    """A row's link as the journal computes it: SHA-256 over the link before
    it and each field as its length, ':' and its text."""
    id_, time_ms, device, kind, amount, code, decision, detail = row
    content = previous
    for value in (str(id_), str(time_ms), device, kind, str(amount), str(code),
                  "" if kind == "escrow" else decision or "", "" if kind == "escrow" else detail or ""):
        content += f"{len(value.encode())}:{value}"
    return hashlib.sha256(content.encode()).hexdigest()


def journal_rows(state, sql, *parameters):
    with contextlib.closing(sqlite3.connect(f"file:{state / 'journal.sqlite'}?mode=ro", uri=True,
                                            timeout=TIMEOUT)) as db:
        return db.execute(sql, parameters).fetchall()


class WineService:
    """notavero-serve.exe as a console program under Wine, on a free port."""

    def __init__(self, name, *options):
        self.log = LOGS / f"serve-{name}.log"
        with open(self.log, "w") as out:
            self.process = children.popen(
                ["wine", EXE, "--device", "kiosk=COM5", "--http-port", "0", "--escrow-timeout", "8000",
                 "--www", windows_path(WWW), *options],
                stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT, env=wine_environment())
        self.port = None

    def started(self):
        match = wait_for_text(self.log, r"listening on http://127\.0\.0\.1:(\d+)/", self.process,
                              "notavero-serve.exe did not start")
        self.port = int(match.group(1))
        return self

    def ended(self):
        """Waits for the end; its status."""
        try:
            status = self.process.wait(timeout=START_TIMEOUT)
        except subprocess.TimeoutExpired as error:
            raise AssertionError(f"notavero-serve.exe did not end; its output:\n{self.log.read_text()}") from error
        children.forget(self.process)
        return status

    def ctrl_c(self):
        """Ctrl+C: Wine turns SIGINT into the console's CTRL_C_EVENT."""
        self.process.send_signal(signal.SIGINT)
        return self.ended()

    def output(self):
        return self.log.read_text(errors="replace")


def http_get(port, path):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=TIMEOUT)
    try:
        connection.request("GET", path)
        response = connection.getresponse()
        return response.status, response.read().decode()
    finally:
        connection.close()


def client(port, state, **hello):
    ws = WebSocket(port)
    ws.send({"cmd": "hello", "token": (state / "token").read_text().strip(), **hello})
    return ws


class ServeWineTestCase(children.TestCase):
    test_timeout = 240

    def setUp(self):
        super().setUp()
        shutil.rmtree(STATE, ignore_errors=True)
        self.sim = Simulator()
        self.addCleanup(self.sim.close)
        holder = subprocess.Popen([sys.executable, "-c", HOLDER, self.sim.path], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, text=True, start_new_session=True)
        self.addCleanup(holder.wait)
        self.addCleanup(holder.stdout.close)
        self.addCleanup(holder.stdin.close)
        self.assertEqual(holder.stdout.readline().strip(), "held")
        temporary = COM5.with_name("com5.new")
        if temporary.is_symlink():
            temporary.unlink()
        temporary.symlink_to(self.sim.path)
        temporary.rename(COM5)
        # Never left pointing at a pty that another program gets later.
        self.addCleanup(COM5.unlink, missing_ok=True)

    def start(self, name, *options):
        service = WineService(name, *options)
        self.addCleanup(self.ended_cleanly, service)
        return service.started()

    def ended_cleanly(self, service):
        if service.process.poll() is None:
            self.assertEqual(service.ctrl_c(), 0, service.output())

    def ready_client(self, port):
        ws = client(port, STATE)
        self.addCleanup(ws.close)
        self.assertEqual(ws.wait_for(lambda m: m["type"] in ("ok", "error"), "hello")["type"], "ok")
        self.assertEqual(ws.reply({"cmd": "enable"})["type"], "ok")
        ws.wait_for(idle, "acceptance on")
        return ws

    def take_bill(self, ws):
        self.sim.command("insert 4")
        escrow = ws.wait_for(is_escrow, "escrow")
        self.assertEqual((escrow["device"], escrow["amount"]), ("kiosk", HUNDRED))
        self.assertEqual(ws.reply({"cmd": "stack", "id": escrow["id"]})["type"], "ok")
        stacked = ws.wait_for(of_type("stacked", "returned"), "the outcome")
        self.assertEqual((stacked["type"], stacked["amount"], stacked["acked"]), ("stacked", HUNDRED, False))
        return escrow, stacked


class ConsoleTest(ServeWineTestCase):
    def test_a_bill_through_the_service_into_the_journal_with_its_chain(self):
        service = self.start("bill")
        ws = self.ready_client(service.port)
        escrow, stacked = self.take_bill(ws)

        # The journal in %ProgramData%\notavero-serve, read from Linux: the
        # escrow decided by the client, the stacked bill, each row's link as
        # the Linux service computes it (SHA-256 by CNG here).
        rows = journal_rows(STATE, "SELECT id, time_ms, device, kind, amount, code, decision, detail, hash "
                                   "FROM events ORDER BY id")
        mine = [(row[0], row[3], row[4], row[6]) for row in rows if row[0] >= escrow["id"]]
        self.assertEqual(mine, [(escrow["id"], "escrow", HUNDRED, "stack"), (stacked["id"], "stacked", HUNDRED, None)])
        previous = "0" * 64
        for row in rows:
            if row[8] is None:
                continue
            self.assertEqual(row[8], chain_link(previous, row[:8]), f"the link of row {row[0]}")
            previous = row[8]
        self.assertEqual(previous, rows[-1][8])
        identity = journal_rows(STATE, "SELECT value FROM journal_meta WHERE key = 'identity'")[0][0]
        self.assertRegex(identity, r"^[0-9a-f]{32}$")

        # The status page and the metrics, as on Linux.
        status, page = http_get(service.port, "/")
        self.assertEqual(status, 200)
        self.assertIn("<html", page.lower())
        status, metrics = http_get(service.port, "/metrics")
        self.assertEqual(status, 200)
        self.assertRegex(metrics, r'(?m)^notavero_stacked_amount_total\{device="kiosk"\} 100$')

    def test_ctrl_c_returns_a_bill_in_escrow_and_journals_it(self):
        service = self.start("ctrl-c")
        ws = self.ready_client(service.port)
        self.sim.command("insert 4")
        escrow = ws.wait_for(is_escrow, "escrow")
        self.assertEqual(service.ctrl_c(), 0, service.output())
        self.assertEqual(journal_rows(STATE, "SELECT kind, amount, decision, detail FROM events WHERE id >= ?",
                                      escrow["id"]),
                         [("escrow", HUNDRED, "return", "closing"), ("returned", HUNDRED, None, None)])
        self.assertEqual(self.sim.status()["returned"], "1")

    def test_a_restart_replays_the_stacked_bill_nobody_acknowledged(self):
        service = self.start("before-restart")
        ws = self.ready_client(service.port)
        _, stacked = self.take_bill(ws)
        ws.close()
        self.assertEqual(service.ctrl_c(), 0, service.output())

        service = self.start("after-restart")
        # However far the client had read, the bill comes again until it is acknowledged.
        again = client(service.port, STATE, since=stacked["id"])
        self.addCleanup(again.close)
        replayed = again.wait_for(of_type("stacked"), "the stacked bill replayed")
        self.assertEqual((replayed["id"], replayed["amount"], replayed["acked"]), (stacked["id"], HUNDRED, False))
        self.assertEqual(again.reply({"cmd": "ack", "id": stacked["id"]})["type"], "ok")
        self.assertEqual(journal_rows(STATE, "SELECT acked_ms IS NOT NULL FROM events WHERE id = ?", stacked["id"]),
                         [(1,)])

    def test_a_state_directory_other_accounts_may_write_is_refused(self):
        # Made on the Linux side, open to all: Wine shows its mode as an
        # access list that lets Everyone write.
        state = LOGS / "open-state"
        shutil.rmtree(state, ignore_errors=True)
        state.mkdir()
        state.chmod(0o777)
        service = WineService("open-state", "--state-dir", windows_path(state))
        self.assertEqual(service.ended(), 1, service.output())
        self.assertRegex(service.output(), r"the state directory .*open-state is open to .*Everyone.*write")
        self.assertFalse((state / "token").exists())


def wine_run(name, *args):
    """A Windows program run to its end under Wine: (status, output)."""
    log = LOGS / f"{name}.log"
    with open(log, "w") as out:
        status = subprocess.run(["wine", *args], stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                env=wine_environment(), timeout=START_TIMEOUT, check=False).returncode
    return status, log.read_text(errors="replace")


def free_port():
    with contextlib.closing(socket.socket()) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class ServiceManagerTest(ServeWineTestCase):
    """The service under Wine's service control manager.  Its services.exe
    must have the modem-line shim preloaded (scripts/test-wine starts the
    wineserver's first process with it), as the services it starts inherit
    its environment."""

    def service_state(self):
        status, text = wine_run("sc-query", "sc", "query", "notavero-serve")
        match = re.search(r"STATE\s*:\s*\d+\s+(\w+)", text)
        return match.group(1) if status == 0 and match else f"none ({text.strip()})"

    def test_install_start_a_bill_stop_with_a_bill_in_escrow_uninstall(self):
        wine_run("uninstall-before", EXE, "uninstall")  # a run that failed may have left it
        port = free_port()
        status, text = wine_run("install", EXE, "install", "--device", "kiosk=COM5", "--http-port", str(port),
                                "--escrow-timeout", "8000", "--www", windows_path(WWW))
        self.assertEqual(status, 0, text)
        self.assertIn("installed the service notavero-serve", text)
        self.addCleanup(wine_run, "uninstall-cleanup", EXE, "uninstall")
        status, text = wine_run("sc-start", "sc", "start", "notavero-serve")
        self.assertEqual(status, 0, text)
        # Its output goes to the log directory of the state tree.
        log = STATE / "log" / "notavero-serve.log"
        wait_for_text(log, rf"listening on http://127\.0\.0\.1:{port}/", None, "the service did not start")
        ws = self.ready_client(port)
        escrow, stacked = self.take_bill(ws)
        self.assertEqual(journal_rows(STATE, "SELECT kind, amount FROM events WHERE id >= ?", escrow["id"]),
                         [("escrow", HUNDRED), ("stacked", HUNDRED)])

        # The manager's stop with a bill in escrow: returned and journaled, as at SIGTERM on Linux.
        ws.wait_for(idle, "waiting again")
        self.sim.command("insert 4")
        escrow = ws.wait_for(is_escrow, "the second escrow")
        status, text = wine_run("sc-stop", "sc", "stop", "notavero-serve")
        self.assertEqual(status, 0, text)
        deadline = time.monotonic() + START_TIMEOUT
        while (state := self.service_state()) != "STOPPED":
            self.assertLess(time.monotonic(), deadline, f"the service did not stop: {state}; log:\n{log.read_text()}")
        self.assertEqual(journal_rows(STATE, "SELECT kind, amount, decision, detail FROM events WHERE id >= ?",
                                      escrow["id"]),
                         [("escrow", HUNDRED, "return", "closing"), ("returned", HUNDRED, None, None)])
        self.assertEqual(self.sim.status()["returned"], "1")
        self.assertRegex((STATE / "log" / "Notavero.log").read_bytes().decode("cp1251"), r"\[COM5\]:  Send: ")

        status, text = wine_run("uninstall", EXE, "uninstall")
        self.assertEqual(status, 0, text)
        self.assertIn("removed the service", text)
        self.assertTrue(self.service_state().startswith("none"))


if __name__ == "__main__":
    unittest.main()
