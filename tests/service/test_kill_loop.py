"""The kill loop: a kiosk client takes bill after bill through notavero-serve
while the service is killed (kill -9, now and then SIGTERM) at random moments
and at the moments where money is most at risk, and started again on the same
state directory each time.  At the end the journal must hold every bill the
simulator stacked exactly once (or list it as unconfirmed, with its amount),
repeats must be rows of their own, and the client must have acknowledged
every stacked row.

The moments of a kill, each a few times per run:
  after-stack      just after the client sent its stack decision
  stacked-message  the client has the stacked message and has not acked it
  in-escrow        a bill waits in escrow, undecided
  after-insert     0 to 1.5 s after the bill went in
  device-stacked   0 to 150 ms after the simulator counted the bill stacked:
                   the device's report is on its way to the service and to
                   the journal

Variants:
  plain   the kills alone
  lock    besides, another connection holds the journal's write lock
          (BEGIN IMMEDIATE) for 1 to 7 s at random moments
  full    besides, the state directory is a small tmpfs that fills up and
          is freed again (root only; skipped elsewhere)

While the journal cannot commit, the service takes no money: acceptance goes
off on every device (the full variant checks it with /healthz and the
simulator's state) and comes back once the journal can commit again.

CTest runs a short loop of each variant (test_kill_loop in
tests/service/CMakeLists.txt); scripts/kill-loop runs a long one and prints
its figures.  NOTAVERO_KILL_LOOP_SEED repeats a run's choices (the seed is
printed); NOTAVERO_KILL_LOOP_KILLS scales the short loops.
"""

import contextlib
import dataclasses
import difflib
import errno
import http.client
import os
import pathlib
import queue
import random
import re
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from collections import Counter, deque

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1] / "bindings" / "python"))
sys.path.insert(0, str(HERE))
from tests import children  # noqa: E402  (the Python package's test helpers)
from tests.support import SIM, TIMEOUT, child_environment  # noqa: E402
from test_service import SERVE, Closed, WebSocket  # noqa: E402

UNIT = 10000  # the journal's amounts are in 1/10000 currency units
VALUES = {2: 10, 3: 50, 4: 100, 5: 500, 6: 1000, 7: 5000}  # notavero-sim's own bill table
WAITING, DISABLED, ESCROW, STACKED, RETURNED = 0x14, 0x19, 0x80, 0x81, 0x82
IDLE = (WAITING, DISABLED)
MOMENTS = ("after-stack", "stacked-message", "in-escrow", "after-insert", "device-stacked")
# Rows of the journal that are not bill ids a client keeps track of.
NOT_JOURNAL_IDS = ("decision", "ok", "error", "pending", "status", "state", "link")
ESCROW_TIMEOUT_MS = 3000
# How long one bill, or the wait for the device to take the next, may last:
# a lock held 7 s, a commit's 5 s busy wait, a decision's 3 s and a restart,
# on a loaded machine.
BILL_TIMEOUT = 4 * TIMEOUT


class Failure(AssertionError):
    """The loop cannot go on (a wait that never ended)."""


class StartFailed(Exception):
    pass


# ---- the simulator ---------------------------------------------------------


class Device:
    """notavero-sim --fast on a pseudo-terminal.  Its stderr goes with its
    stdout, so a refused insert is seen in order with the status after it."""

    def __init__(self):
        self.process = children.popen([SIM, "--fast"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                      stderr=subprocess.STDOUT, text=True, encoding="utf-8",
                                      env=child_environment())
        try:
            self.path = self.process.stdout.readline().strip()
            if not self.path.startswith("/"):
                raise RuntimeError(f"{SIM} printed no pty path: {self.path!r}")
        except BaseException:
            children.kill(self.process)
            raise
        self.lines = queue.Queue()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def _send(self, *lines):
        self.process.stdin.write("".join(line + "\n" for line in lines))
        self.process.stdin.flush()

    def _status_line(self):
        """Reads up to the next status line; returns it parsed and the lines before it."""
        before = []
        while True:
            try:
                line = self.lines.get(timeout=TIMEOUT)
            except queue.Empty:
                raise Failure(f"notavero-sim did not answer 'status' within {TIMEOUT:g} s") from None
            if line is None:
                raise Failure(f"notavero-sim ended (status {self.process.poll()})")
            if line.startswith("state="):
                words = dict(word.split("=", 1) for word in line.split(" text=")[0].split())
                status = {key: words[key] for key in ("stacked_types", "returned_types", "line") if key in words}
                status.update(state=int(words["state"], 16), stacked=int(words["stacked"]),
                              stacked_sum=int(words["stacked_sum"]), returned=int(words["returned"]),
                              enabled=words["enabled"])
                return status, before
            before.append(line)

    def status(self):
        self._send("status")
        return self._status_line()[0]

    def insert(self, bill_type):
        """Inserts a bill; returns (taken, status just after)."""
        self._send(f"insert {bill_type}", "status")
        status, before = self._status_line()
        return any(line.startswith("insert: bill type") for line in before), status

    def close(self):
        try:
            if self.process.poll() is None:
                with contextlib.suppress(OSError, ValueError):
                    self._send("quit")
                self.process.wait(timeout=TIMEOUT)
        finally:
            children.kill(self.process, close_pipes=False)
            self.reader.join(TIMEOUT)
            for stream in (self.process.stdin, self.process.stdout):
                with contextlib.suppress(OSError):
                    stream.close()


# ---- the service -----------------------------------------------------------


class Server:
    """One run of notavero-serve; its stderr is appended to log_path."""

    def __init__(self, state_dir, device_path, log_path):
        self.log = open(log_path, "a", encoding="utf-8")  # noqa: SIM115  (closed in reap)
        self.log.write(f"---- start {time.strftime('%H:%M:%S')}\n")
        self.log.flush()
        self.process = children.popen(
            [SERVE, "--http-port", "0", "--state-dir", str(state_dir), "--device", f"kiosk={device_path}",
             "--escrow-timeout", str(ESCROW_TIMEOUT_MS)],
            stdout=subprocess.PIPE, stderr=self.log, text=True, env=child_environment())
        self.lock = threading.Lock()
        self.signalled = None
        self.signal_time = None
        self.reaped = False
        line = self.process.stdout.readline()
        match = re.search(r"listening on http://127\.0\.0\.1:(\d+)/", line)
        if not match:
            status = self.reap(TIMEOUT)
            raise StartFailed(f"notavero-serve did not start (status {status}): {line!r}")
        self.port = int(match.group(1))
        self.token = (pathlib.Path(state_dir) / "token").read_text().strip()

    @property
    def pid(self):
        return self.process.pid

    def signal(self, sig):
        """Sends sig unless the process is reaped or already killed; any thread."""
        with self.lock:
            if self.reaped or self.signalled == signal.SIGKILL or self.process.poll() is not None:
                return False
            self.signalled = sig
            self.signal_time = time.monotonic()
            os.kill(self.process.pid, sig)
            return True

    def alive(self):
        return self.process.poll() is None

    def reap(self, timeout):
        """Waits for the end; kills the process when it does not come."""
        try:
            status = self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            status = None
        with self.lock:
            self.reaped = True
        children.kill(self.process)  # reaps it, or ends it first when it hangs
        self.log.close()
        return status

    def healthz(self):
        """The status code of /healthz, None when nothing answers."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=TIMEOUT)
        try:
            connection.request("GET", "/healthz")
            return connection.getresponse().status
        except OSError:
            return None
        finally:
            connection.close()


class Connection(WebSocket):
    """The test WebSocket client with a thread that reads it into a queue (so
    that the loop can watch the simulator and the service meanwhile) and a
    lock on sends (that thread answers pings)."""

    def __init__(self, port, messages):
        self.send_lock = threading.Lock()
        super().__init__(port)
        if self.status != 101:
            raise Closed(f"handshake answered {self.status}")
        self.sock.settimeout(None)  # the loop's own waits time out, not the reads
        self.reader = threading.Thread(target=self._pump, args=(messages,), daemon=True)
        self.reader.start()

    def send_frame(self, payload, opcode=1):
        with self.send_lock:
            super().send_frame(payload, opcode)

    def _pump(self, messages):
        try:
            while True:
                messages.put((self, self.recv()))
        except (Closed, OSError, ValueError):
            messages.put((self, None))

    def drop(self):
        with contextlib.suppress(OSError):
            self.sock.shutdown(socket.SHUT_RDWR)
        self.sock.close()
        self.reader.join(TIMEOUT)


# ---- the loop --------------------------------------------------------------


@dataclasses.dataclass
class Plan:
    moment: str = None  # one of MOMENTS, or None: the bill goes through
    sig: int = signal.SIGKILL
    delay: float = 0.0  # after-insert, after-stack, device-stacked: seconds after the moment
    lock: tuple = None  # (delay after insert, hold) of another writer's lock
    fill: str = None  # "before" the insert, or "during" the bill
    fill_times: tuple = None  # (delay after insert, hold) for "during"
    kill_when_full: bool = False  # "before": kill -9 while the journal fails
    fired: str = None  # the moment it fired at

    def describe(self):
        parts = []
        if self.moment:
            name = "SIGTERM" if self.sig == signal.SIGTERM else "kill -9"
            parts.append(f"{name} at {self.moment}" + (f" +{self.delay:.3f} s" if self.delay else ""))
        if self.lock:
            parts.append(f"write lock at +{self.lock[0]:.2f} s for {self.lock[1]:.1f} s")
        if self.fill == "before":
            parts.append("disk full before the insert")
        elif self.fill:
            parts.append(f"disk full at +{self.fill_times[0]:.2f} s for {self.fill_times[1]:.1f} s")
        return ", ".join(parts) or "no fault"


class Bill:
    def __init__(self, number, bill_type, plan):
        self.number = number
        self.type = bill_type
        self.amount = VALUES[bill_type] * UNIT
        self.plan = plan
        self.started = time.monotonic()
        self.notes = []
        self.escrows = []
        self.stacked_ids = []
        self.first_id = 0  # the client's last seen id at the insert: later rows are this bill's
        self.outcome = None  # by the simulator: stacked, returned or rejected
        self.before = None  # the simulator's (stacked, returned) before it
        self.ends = 0  # how often the service ended while it was in play
        self.quiet_since = None  # when the device was done and the journal had nothing more
        self.unreported = False  # the running service never reported it stacked
        self.done = False

    def note(self, text):
        self.notes.append(f"+{time.monotonic() - self.started:.3f}s {text}")

    def __str__(self):
        return f"bill {self.number} (type {self.type}, {VALUES[self.type]})"


class KillLoop:
    """One loop: a simulator, the service on one state directory, a client.
    run() returns the figures; problems lists what went wrong."""

    def __init__(self, workdir, kills, seed, variant="plain", state_dir=None, verbose=False, out=sys.stderr):
        assert variant in ("plain", "lock", "full")
        self.workdir = pathlib.Path(workdir)
        self.state_dir = pathlib.Path(state_dir or self.workdir / "state")
        self.journal = self.state_dir / "journal.sqlite"
        self.server_log = self.workdir / "serve.log"
        self.filler = self.state_dir / "filler"
        self.kills = kills
        self.seed = seed
        self.variant = variant
        self.verbose = verbose
        self.out = out
        self.attempts = 0
        self.figures = Counter()
        self.moments = Counter()
        self.problems = []
        self.observations = []
        self.story = deque(maxlen=300)
        self.story_lock = threading.Lock()
        self.t0 = time.monotonic()
        self.bills = []
        self.bill = None
        self.sim = None
        self.server = None
        self.connection = None
        self.messages = queue.Queue()
        self.restart_at = 0.0
        self.stopping = False
        self.hello_done = False
        self.enabled = False
        self.watch_stacked = False
        self.timers = []
        # The device's states as the service reports them since it started.
        self.states_seen = 0
        self.last_state = None
        self.last_state_time = 0.0
        self.acceptance_problems = 0
        # The client's own records, kept across connections as a kiosk keeps
        # them on disk: what it has seen, credited and acknowledged.
        self.last_seen = 0
        self.credited = {}  # stacked id -> amount
        self.ack_sent = set()
        self.acked = set()
        self.ack_retry = {}  # id -> when to send the ack again
        # Faults.
        self.fill_lock = threading.Lock()
        self.full = False
        self.locker = None
        self.lock_active = threading.Event()
        self.release_lock = threading.Event()
        self._status = None
        self._status_time = 0.0
        self._last_id = None
        self._last_id_time = 0.0
        self._health = None
        self._health_time = 0.0
        self.sim_status_at_end = None
        self.rows = []

    # -- telling what happens

    def say(self, text):
        line = f"{time.monotonic() - self.t0:9.3f} {text}"
        with self.story_lock:
            self.story.append(line)
        if self.verbose:
            print(line, file=self.out, flush=True)

    def problem(self, text):
        self.say(f"PROBLEM: {text}")
        self.problems.append(text)

    def observe(self, text):
        self.say(f"observed: {text}")
        self.observations.append(text)

    # -- the run

    def run(self):
        self.say(f"kill loop, variant {self.variant}, seed {self.seed}, {self.kills} kills")
        self.state_dir.mkdir(mode=0o700, parents=True, exist_ok=True)
        try:
            self.sim = Device()
            self.start_service()
            try:
                while self.figures["kills"] < self.kills:
                    if self.figures["bills"] > 30 + 10 * self.kills:
                        raise Failure(f"no progress: {self.figures['bills']} bills for "
                                      f"{self.figures['kills']} kills")
                    self.one_bill()
                self.finish()
            except Failure as failure:
                self.problem(f"the loop stopped: {failure}")
                self.stop_everything()
            self.reconcile()
        finally:
            self.stop_everything()
            if self.sim:
                self.sim.close()
            self.figures["seconds"] = round(time.monotonic() - self.t0, 1)
        return self.figures

    def choose_plan(self, rng):
        plan = Plan()
        if self.variant == "full" and not self.full and rng.random() < 0.35:
            if rng.random() < 0.5:
                plan.fill = "before"
                plan.kill_when_full = rng.random() < 0.5
                return plan  # its own checks, and its own kill
            plan.fill = "during"
            plan.fill_times = (rng.uniform(0, 1.5), rng.uniform(0.5, 4.0))
        if self.variant == "lock" and rng.random() < 0.5:
            plan.lock = (rng.uniform(0, 1.5), rng.uniform(1.0, 7.0))
        if rng.random() < 0.86:
            plan.moment = rng.choice(MOMENTS)
            if plan.moment != "device-stacked" and rng.random() < 0.15:
                plan.sig = signal.SIGTERM
            plan.delay = {"after-insert": rng.uniform(0, 1.5), "after-stack": rng.uniform(0, 0.05),
                          "device-stacked": rng.uniform(0, 0.15)}.get(plan.moment, 0.0)
        return plan

    def one_bill(self):
        # Each attempt's choices come from the seed and its number alone, so
        # that a run repeats them whatever the timing did to earlier bills.
        self.attempts += 1
        rng = random.Random(f"{self.seed}:{self.attempts}")
        plan = self.choose_plan(rng)
        bill_type = rng.choice(sorted(VALUES))
        self.ready()
        if plan.fill == "before":
            self.fill_disk()
        taken, status = self.sim.insert(bill_type)
        if not taken:
            # The device left 14 between the check and the insert.
            self.say(f"insert {bill_type} refused in state {status['state']:02X}")
            self.figures["inserts refused"] += 1
            if self.figures["inserts refused"] > 20 + 2 * self.kills:
                raise Failure(f"the simulator refused {self.figures['inserts refused']} inserts")
            if plan.fill == "before":
                self.free_disk()
            return
        bill = Bill(len(self.bills) + 1, bill_type, plan)
        bill.before = (status["stacked"], status["returned"])
        bill.first_id = self.last_seen
        self.bills.append(bill)
        self.bill = bill
        self.figures["bills"] += 1
        self.say(f"{bill} inserted; plan: {plan.describe()}")
        bill.note(f"inserted; plan: {plan.describe()}")
        if plan.moment == "after-insert":
            self.later(plan.delay, self.fire, "after-insert")
        if plan.lock:
            self.later(plan.lock[0], self.start_locker, plan.lock[1])
        if plan.fill == "during":
            delay, hold = plan.fill_times
            self.later(delay, self.fill_disk)
            self.later(delay + hold, self.free_disk)
        if plan.fill == "before":
            # Either the journal still takes the escrow (its log had room), or
            # the service finds that it fails, or (a service that does not
            # look) the bill comes back.
            self.pump(lambda: (self.hello_done and bill.escrows) or self.healthz_cached() == 503
                      or self.bill_finished(), BILL_TIMEOUT, f"{bill}'s escrow, or its end, on a full disk")
            if bill.escrows:
                self.say("the journal still took rows on a full disk (its log had room)")
                self.figures["fills that did not bite"] += 1
                self.free_disk()
            else:
                self.full_disk_checks(bill)
        self.pump(self.bill_finished, BILL_TIMEOUT, f"{bill} to be finished")
        bill.done = True
        if bill.outcome == "returned" and not bill.escrows and not bill.ends and not plan.fill and not plan.lock:
            # Nothing stopped the service, yet the client was never asked.
            self.figures["returned unoffered"] += 1
        self.say(f"{bill}: {bill.outcome}")
        bill.note(f"finished: {bill.outcome} by the simulator")
        self.timers = [timer for timer in self.timers if timer.is_alive()]

    def later(self, delay, function, *args):
        timer = threading.Timer(delay, function, args)
        timer.daemon = True
        self.timers.append(timer)
        timer.start()

    def fire(self, moment):
        """The planned interruption of the bill in play (any thread)."""
        bill = self.bill
        if bill is None or bill.plan.fired or bill.done:
            return
        bill.plan.fired = moment
        server = self.server
        if server is None:
            return
        name = "SIGTERM" if bill.plan.sig == signal.SIGTERM else "kill -9"
        if server.signal(bill.plan.sig):
            self.moments[(moment, name)] += 1
            bill.note(f"{name} at {moment}")
            self.say(f"{name} at {moment} ({bill})")

    # -- waiting: the client's messages, the service's life, the simulator

    def pump(self, condition, timeout, what):
        """Handles the client's messages, restarts the service when it has
        gone, and returns once condition() holds."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                source, message = self.messages.get(timeout=0.005 if self.watch_stacked else 0.02)
                self.handle(source, message)
                continue  # everything queued first
            except queue.Empty:
                pass
            self.look_after_service()
            self.retry_acks()
            if self.watch_stacked:
                self.watch_device_stacked()
            if condition():
                return
            if time.monotonic() > deadline:
                status = self.sim.status()
                raise Failure(f"timed out after {timeout:g} s waiting for {what} (simulator: state "
                              f"{status['state']:02X} stacked={status['stacked']} returned={status['returned']}; "
                              f"service {'up' if self.server and self.server.alive() else 'down'}, "
                              f"hello {'done' if self.hello_done else 'not done'}, "
                              f"unacked {sorted(self.unacked())}, last seen {self.last_seen}, "
                              f"journal's last id {self.journal_last_id(force=True)})")

    def sim_status(self, force=False):
        now = time.monotonic()
        if force or self._status is None or now - self._status_time > 0.02:
            self._status = self.sim.status()
            self._status_time = now
        return self._status

    def journal_last_id(self, force=False):
        now = time.monotonic()
        if force or self._last_id is None or now - self._last_id_time > 0.05:
            try:
                with contextlib.closing(sqlite3.connect(f"file:{self.journal}?mode=ro", uri=True,
                                                        timeout=TIMEOUT)) as db:
                    self._last_id = db.execute("SELECT COALESCE(MAX(id), 0) FROM events").fetchone()[0]
            except sqlite3.Error as error:
                self.say(f"journal not readable: {error}")
                self._last_id = None
            self._last_id_time = now
        return self._last_id

    def unacked(self):
        return set(self.credited) - self.acked

    def caught_up(self):
        """The client has every row of the journal (or the service is down
        and the next hello replays them)."""
        if not (self.server and self.server.alive()):
            return False
        last = self.journal_last_id()
        return self.hello_done and last is not None and self.last_seen >= last

    def bill_finished(self):
        bill = self.bill
        status = self.sim_status()
        if status["state"] not in IDLE:
            return False
        if any(timer.is_alive() for timer in self.timers) or (self.full and bill.plan.fill != "before"):
            return False  # a planned fault is still to come, or to be undone
        if bill.outcome is None:
            stacked, returned = bill.before
            if (status["stacked"], status["returned"]) == (stacked + 1, returned):
                bill.outcome = "stacked"
            elif (status["stacked"], status["returned"]) == (stacked, returned + 1):
                bill.outcome = "returned"
            elif (status["stacked"], status["returned"]) == (stacked, returned):
                bill.outcome = "rejected"
            else:
                raise Failure(f"the simulator counted more than one bill for {bill}: {status}")
        if not self.caught_up():
            return False
        if bill.outcome == "stacked" and not bill.stacked_ids and not bill.ends and not bill.unreported:
            # The service that saw it all owes the client its stacked message.
            bill.quiet_since = bill.quiet_since or time.monotonic()
            if time.monotonic() - bill.quiet_since < TIMEOUT:
                return False
            self.problem(f"{bill}: the device stacked it and the running service did not report it "
                         f"within {TIMEOUT:g} s; its story: {'; '.join(bill.notes)}")
            bill.unreported = True
        if bill.plan.moment and not bill.plan.fired:
            # A kill planned for a moment the bill never reached (it came
            # back, or the service went first): it comes now, between bills.
            self.fire(f"{bill.plan.moment} (not reached; idle)")
            return False
        return True

    def settled(self):
        """The service's driver has the device waiting for a bill.  Its first
        state after a start is what the run before it left (the device may
        still wait with the old run's enable, and the new driver turns that
        off until it has read the bill table): a bill inserted then comes
        back unoffered.  So a later waiting state, or the first one that
        stays for a while."""
        if self.last_state != WAITING:
            return False
        return self.states_seen >= 2 or time.monotonic() - self.last_state_time > 1.5

    def ready(self):
        """Returns once the service is up, the client has said hello and
        acknowledged every stacked bill, and the device waits for a bill."""
        self.pump(lambda: self.caught_up() and self.enabled and not self.unacked() and self.settled()
                  and self.sim_status()["state"] == WAITING,
                  BILL_TIMEOUT, "the device to wait for a bill with the client caught up")

    # -- the service's life

    def start_service(self):
        self.hello_done = False
        self.enabled = False
        self.states_seen = 0
        self.last_state = None
        try:
            self.server = Server(self.state_dir, self.sim.path, self.server_log)
        except StartFailed as failed:
            self.figures["starts failed"] += 1
            self.server = None
            why = "the disk is full" if self.full else "the journal is locked" if self.lock_active.is_set() else None
            if why:
                self.observe(f"{failed} while {why}")
            else:
                self.problem(f"{failed}; its log ends: {self.log_tail(5)}")
            self.restart_at = time.monotonic() + 0.5
            return
        self.figures["starts"] += 1
        self.say(f"service started, pid {self.server.pid}, port {self.server.port}")
        try:
            self.connection = Connection(self.server.port, self.messages)
        except (Closed, OSError) as error:
            self.say(f"connection failed: {error}")
            self.connection = None
            return
        self.send({"cmd": "hello", "token": self.server.token, "since": self.last_seen, "ref": "hello"})

    def look_after_service(self):
        server = self.server
        if server is None:
            if not self.stopping and time.monotonic() >= self.restart_at:
                self.start_service()
            return
        if server.alive():
            if server.signalled == signal.SIGTERM and time.monotonic() - server.signal_time > TIMEOUT:
                self.problem(f"the service did not end within {TIMEOUT:g} s of SIGTERM")
                server.signal(signal.SIGKILL)
            elif self.connection is None and not server.signalled and not self.stopping \
                    and time.monotonic() >= self.restart_at:
                self.restart_at = time.monotonic() + 0.2
                self.start_client()
            return
        status = server.reap(TIMEOUT)
        bill = self.bill
        if server.signalled == signal.SIGKILL:
            self.figures["kills"] += 1
            self.say(f"service killed (status {status})")
        elif server.signalled == signal.SIGTERM:
            self.figures["terms"] += 1
            self.say(f"service ended after SIGTERM (status {status})")
            if status != 0:
                self.problem(f"after SIGTERM the service ended with status {status}; log: {self.log_tail(5)}")
            if bill and not bill.done and bill.plan.fired == "in-escrow":
                self.check_returned_on_sigterm(bill)
        else:
            self.figures["crashes"] += 1
            self.problem(f"the service ended by itself with status {status} "
                         f"({bill.plan.describe() if bill else 'no bill'}); its log ends: {self.log_tail(8)}")
        if bill and not bill.done:
            bill.ends += 1
            bill.note(f"service ended, status {status}")
        self.server = None
        self.hello_done = False
        self.enabled = False
        if self.connection:
            self.connection.drop()
            self.connection = None
        self.restart_at = time.monotonic()
        if not self.stopping:
            self.start_service()

    def check_returned_on_sigterm(self, bill):
        """SIGTERM with a bill in escrow: the service sends it back."""
        status = self.sim_status(force=True)
        if status["stacked"] != bill.before[0]:
            self.problem(f"{bill} waited in escrow at SIGTERM and was stacked")
        elif status["state"] == ESCROW:
            self.problem(f"{bill} waited in escrow at SIGTERM and is still there after the service ended")
        else:
            bill.note(f"SIGTERM in escrow: the device shows {status['state']:02X}")

    def send(self, message):
        if self.connection is None:
            return
        try:
            self.connection.send(message)
        except OSError as error:
            self.say(f"send failed ({error}): {message}")

    # -- the client

    def handle(self, source, message):
        if message is None:
            if source is self.connection:
                self.say("connection closed")
                self.connection.drop()
                self.connection = None
                self.hello_done = False
                self.enabled = False
                if self.server and not self.server.signalled:
                    try:
                        self.server.process.wait(timeout=2)  # it is dying: look_after_service says so
                    except subprocess.TimeoutExpired:
                        self.problem("the service closed the client's connection while running")
            return
        kind = message.get("type")
        if isinstance(message.get("id"), int) and kind not in NOT_JOURNAL_IDS:
            self.last_seen = max(self.last_seen, message["id"])
        bill = self.bill if self.bill and not self.bill.done else None
        if kind == "escrow" and message.get("decision") is None:
            self.on_escrow(message, bill)
        elif kind == "stacked":
            self.on_stacked(message, bill)
        elif kind == "ok":
            self.on_ok(message)
        elif kind == "error":
            ref = str(message.get("ref", ""))
            if ref.startswith("ack:"):
                self.ack_retry[int(ref[4:])] = time.monotonic() + 0.5
                self.say(f"ack refused: {message}")
            elif not ref.startswith("stack:"):  # a replayed escrow that no longer waits
                self.problem(f"error reply: {message}")
        elif kind == "state" and message.get("device") == "kiosk":
            self.states_seen += 1
            self.last_state = message.get("word", 0) & 0xFF
            self.last_state_time = time.monotonic()
        elif kind == "pending":
            self.figures["pending messages"] += 1
            self.say(f"pending: {message}")
            if bill:
                bill.note(f"pending: {message}")
            self.check_report_kept(message)
        elif kind in ("returned", "rejected", "unconfirmed", "repeat"):
            self.say(f"{kind}: {message}")
            if bill:
                bill.note(f"{kind} id {message.get('id')}")

    def on_escrow(self, message, bill):
        # Rows after the insert are the bill's (the client had every earlier
        # one); one replayed before the hello's reply was never decided, and
        # the service refuses a decision for it now.
        live = self.hello_done
        if bill and message.get("device") == "kiosk" and message["id"] > bill.first_id:
            bill.escrows.append(message["id"])
            bill.note(f"escrow id {message['id']} ({message.get('amount')}){'' if live else ' replayed'}")
            if message.get("amount") != bill.amount:
                self.problem(f"escrow {message} for {bill}, worth {bill.amount}")
            if live and not bill.plan.fired and bill.plan.moment == "in-escrow":
                self.fire("in-escrow")
                return
        self.send({"cmd": "stack", "id": message["id"], "ref": f"stack:{message['id']}"})
        if bill and live and not bill.plan.fired:
            if bill.plan.moment == "after-stack":
                self.later(bill.plan.delay, self.fire, "after-stack")
            elif bill.plan.moment == "device-stacked":
                self.watch_stacked = True

    def watch_device_stacked(self):
        bill = self.bill
        if bill is None or bill.done or bill.plan.fired:
            self.watch_stacked = False
            return
        status = self.sim_status(force=True)
        if status["stacked"] > bill.before[0]:
            self.watch_stacked = False
            bill.note("the simulator counted it stacked")
            self.later(bill.plan.delay, self.fire, "device-stacked")

    def on_stacked(self, message, bill):
        bill_id, amount = message["id"], message.get("amount")
        if bill_id in self.credited and self.credited[bill_id] != amount:
            self.problem(f"stacked id {bill_id} came with {amount}, earlier with {self.credited[bill_id]}")
        if bill_id not in self.credited:
            self.figures["credited by the client"] += 1
        self.credited[bill_id] = amount
        if bill:
            if bill_id > bill.first_id and amount == bill.amount and bill_id not in bill.stacked_ids:
                bill.stacked_ids.append(bill_id)
            bill.note(f"stacked id {bill_id} ({amount}){' acked' if message.get('acked') else ''}")
        if message.get("acked"):
            if bill_id not in self.ack_sent:
                self.problem(f"stacked id {bill_id} is acknowledged, but this client never sent its ack")
            self.acked.add(bill_id)
            return
        if bill and not bill.plan.fired and bill.plan.moment == "stacked-message":
            self.fire("stacked-message")
            return
        self.send_ack(bill_id)

    def send_ack(self, bill_id):
        self.ack_sent.add(bill_id)
        self.ack_retry.pop(bill_id, None)
        self.send({"cmd": "ack", "id": bill_id, "ref": f"ack:{bill_id}"})

    def retry_acks(self):
        now = time.monotonic()
        for bill_id, when in list(self.ack_retry.items()):
            if now >= when and self.hello_done and bill_id not in self.acked:
                self.send_ack(bill_id)

    def on_ok(self, message):
        command = message.get("cmd")
        if command == "hello":
            if message.get("more"):
                self.send({"cmd": "hello", "token": self.server.token, "since": message["last_id"],
                           "ref": "hello"})
                return
            self.hello_done = True
            self.say(f"hello: {message.get('replayed')} replayed")
            self.send({"cmd": "enable", "ref": "enable"})
            # An ack whose reply was lost with the service goes again (an ack
            # is idempotent); the unacknowledged stacked rows came in the replay.
            for bill_id in sorted(self.unacked()):
                if bill_id in self.ack_sent:
                    self.ack_retry.setdefault(bill_id, time.monotonic())
        elif command == "enable":
            self.enabled = True
        elif command == "ack":
            self.acked.add(message["id"])
            self.ack_retry.pop(message["id"], None)

    def start_client(self):
        if self.connection:
            self.connection.drop()
        self.connection = None
        self.hello_done = False
        self.enabled = False
        try:
            self.connection = Connection(self.server.port, self.messages)
        except (Closed, OSError) as error:
            self.say(f"connection failed: {error}")
            return
        self.send({"cmd": "hello", "token": self.server.token, "since": self.last_seen, "ref": "hello"})

    # -- faults on the journal

    def start_locker(self, hold):
        if self.lock_active.is_set() or self.stopping:
            return
        self.lock_active.set()
        self.release_lock.clear()
        self.locker = threading.Thread(target=self._hold_lock, args=(hold,), daemon=True)
        self.locker.start()

    def _hold_lock(self, hold):
        db = None
        try:
            db = sqlite3.connect(str(self.journal), timeout=TIMEOUT, isolation_level=None)
            db.execute("BEGIN IMMEDIATE")
            self.figures["write locks held"] += 1
            self.say(f"journal write lock held for {hold:.1f} s")
            self.release_lock.wait(hold)  # the fault: nobody else can write meanwhile
            db.execute("ROLLBACK")
            self.say("journal write lock released")
        except sqlite3.Error as error:
            self.say(f"the write lock was not taken: {error}")
        finally:
            if db is not None:
                db.close()
            self.lock_active.clear()

    def fill_disk(self):
        with self.fill_lock:
            if self.full or self.stopping:
                return
            # A checkpoint first, so that the next commit needs new space
            # rather than reusing the write-ahead log's.
            try:
                with contextlib.closing(sqlite3.connect(str(self.journal), timeout=2)) as db:
                    busy = db.execute("PRAGMA wal_checkpoint(TRUNCATE)").fetchone()[0]
                if busy:
                    self.say("checkpoint busy: the log may still have room")
            except sqlite3.Error as error:
                self.say(f"checkpoint failed: {error}")
            written = 0
            fd = os.open(self.filler, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o600)
            try:
                for size in (1 << 20, 4096, 512):
                    block = b"\0" * size
                    while True:
                        try:
                            written += os.write(fd, block)
                        except OSError as error:
                            if error.errno != errno.ENOSPC:
                                raise
                            break
            finally:
                os.close(fd)
            self.full = True
            self.figures["disk fills"] += 1
            self.say(f"disk full ({written} bytes of filler)")
            if self.bill and not self.bill.done:
                self.bill.note("disk full")

    def free_disk(self):
        with self.fill_lock:
            if not self.full:
                return
            with contextlib.suppress(FileNotFoundError):
                self.filler.unlink()
            self.full = False
            self.say("disk space freed")
            if self.bill and not self.bill.done:
                self.bill.note("disk freed")

    def check_report_kept(self, message):
        """An outcome the journal could not take stays with the device."""
        if not self.full:
            return
        status = self.sim_status(force=True)
        if self.full and status["state"] not in (STACKED, RETURNED):
            self.problem(f"{message} while the disk is full, but the device shows {status['state']:02X}, "
                         "not the outcome it keeps until it is acknowledged")

    def full_disk_checks(self, bill):
        """The disk filled before the bill went in and the journal could not
        take its escrow: the bill must not be stacked, acceptance must go off
        (the device's enable mask all zero; its state may still be the
        returned report, kept until the journal takes it) and /healthz say
        503 until the journal can commit again; then acceptance comes back
        by itself."""
        self.figures["journal failures"] += 1
        server = self.server

        def acceptance_off():
            if self.server is not server:
                return True  # it died: look_after_service says why
            return self.sim_status()["enabled"] == "000000" and self.healthz_cached() == 503
        # Once it has stayed on for a whole time-out, a short wait tells the same.
        wait = TIMEOUT if not self.acceptance_problems else 3.0
        try:
            self.pump(acceptance_off, wait, "acceptance to go off while the journal cannot commit")
            if self.server is server:
                self.say("acceptance off and /healthz 503 while the disk is full")
        except Failure:
            self.acceptance_problems += 1
            status = self.sim_status(force=True)
            self.problem(f"the journal could not take {bill}'s escrow (disk full), yet {wait:g} s later the "
                         f"device's enable mask is {status['enabled']} (state {status['state']:02X}) and /healthz "
                         f"answers {self.healthz_cached(force=True)}")
        if self.sim_status(force=True)["stacked"] != bill.before[0]:
            self.problem(f"{bill} was stacked though its escrow never reached the journal")
        if bill.plan.kill_when_full and self.server and self.server.alive():
            bill.plan.moment = bill.plan.fired = "disk-full"
            if self.server.signal(signal.SIGKILL):
                self.moments[("disk-full", "kill -9")] += 1
                self.say("kill -9 while the disk is full")
            self.pump(lambda: self.server is not server, TIMEOUT, "the killed service to be reaped")
        self.free_disk()
        server = self.server
        try:
            self.pump(lambda: self.server is not None and self.server.alive() and
                      self.sim_status()["state"] == WAITING and self.healthz_cached() == 200,
                      2 * TIMEOUT, "acceptance to come back once the journal can commit")
        except Failure as failure:
            self.problem(f"after the disk was freed: {failure}")

    def healthz_cached(self, force=False):
        now = time.monotonic()
        if force or self._health_time < now - 0.1:
            self._health = self.server.healthz() if self.server else None
            self._health_time = now
        return self._health

    # -- the end

    def finish(self):
        """Undoes every fault, lets the last bill finish, connects the client
        once more (its replay) and stops the service with SIGTERM."""
        for timer in self.timers:
            timer.cancel()
        self.release_lock.set()
        if self.locker:
            self.locker.join(TIMEOUT)
        self.free_disk()
        self.ready()
        self.say("last connection of the client")
        self.start_client()
        self.pump(lambda: self.hello_done and not self.unacked(), BILL_TIMEOUT,
                  "the last replay to be acknowledged")
        self.stopping = True
        server = self.server
        server.signal(signal.SIGTERM)
        status = server.reap(TIMEOUT)
        self.server = None
        if status != 0:
            self.problem(f"the service's last SIGTERM ended it with status {status}; log: {self.log_tail(5)}")

    def stop_everything(self):
        self.stopping = True
        for timer in self.timers:
            timer.cancel()
        for timer in self.timers:
            timer.join(TIMEOUT)
        self.release_lock.set()
        if self.locker:
            self.locker.join(TIMEOUT)
        self.free_disk()
        if self.connection:
            self.connection.drop()
            self.connection = None
        if self.server:
            if self.server.signal(signal.SIGTERM):
                self.server.reap(TIMEOUT)
            else:
                self.server.reap(0)
            self.server = None

    def log_tail(self, lines):
        try:
            text = self.server_log.read_text(errors="replace").splitlines()
        except OSError:
            return "(no log)"
        return " | ".join(text[-lines:])

    # -- the reckoning

    def reconcile(self):
        """The journal against the simulator's own count, bill by bill."""
        sim = self.sim.status()
        self.sim_status_at_end = sim
        try:
            with contextlib.closing(sqlite3.connect(f"file:{self.journal}?mode=ro", uri=True,
                                                    timeout=TIMEOUT)) as db:
                self.rows = db.execute("SELECT id, kind, amount, code, decision, detail, acked_ms "
                                       "FROM events ORDER BY id").fetchall()
        except sqlite3.Error as error:
            self.problem(f"the journal cannot be read: {error}")
            return
        stacked = [row for row in self.rows if row[1] == "stacked"]
        unconfirmed = [row for row in self.rows if row[1] == "unconfirmed"]
        kinds = Counter(row[1] for row in self.rows)
        f = self.figures
        f["stacked by the simulator"] = sim["stacked"]
        f["credited"] = len(stacked)
        f["repeats"] = kinds["repeat"]
        f["unconfirmed"] = len(unconfirmed)
        for kind in set(kinds) - {"escrow", "stacked", "returned", "rejected", "unconfirmed", "repeat"}:
            self.observe(f"{kinds[kind]} journal rows of kind {kind!r}")

        # Bill by bill.  A stacked or unconfirmed row belongs to the bill whose
        # stacked message had its id, else to the bill of the escrow row before
        # it (one bill at a time); rows that no bill claims are matched by
        # amount, in order, with the bills still without a row.
        def amount(row):
            return row[2] or VALUES.get(row[3], 0) * UNIT
        expected = [bill for bill in self.bills if bill.outcome == "stacked"]
        if len(expected) != sim["stacked"] or sum(b.amount for b in expected) != sim["stacked_sum"] * UNIT:
            self.problem(f"the loop's own count of stacked bills ({len(expected)}) is not the simulator's "
                         f"({sim['stacked']}, {sim['stacked_sum']})")
        escrow_owner = {escrow: bill for bill in self.bills for escrow in bill.escrows}
        stacked_owner = {bill_id: bill for bill in self.bills for bill_id in bill.stacked_ids}
        claimed = {bill.number: [] for bill in self.bills}
        unclaimed = []
        current = None
        for row in self.rows:
            if row[1] == "escrow":
                current = escrow_owner.get(row[0])
            elif row[1] in ("stacked", "unconfirmed"):
                owner = stacked_owner.get(row[0]) or current
                if owner is not None and amount(row) == owner.amount:
                    claimed[owner.number].append(row)
                else:
                    unclaimed.append(row)
        lost, doubled, without_row = [], [], []
        for bill in self.bills:
            rows = claimed[bill.number]
            stacked_rows = [row for row in rows if row[1] == "stacked"]
            if bill.outcome != "stacked":
                doubled += [(row, f"{bill}, which the device {bill.outcome}") for row in stacked_rows]
            elif not rows:
                without_row.append(bill)
            elif stacked_rows:
                doubled += [(row, f"{bill}, which row {stacked_rows[0][0]} already credits")
                            for row in stacked_rows[1:]]
                for row in rows:
                    if row[1] == "unconfirmed":
                        self.observe(f"unconfirmed row {row[0]} for {bill}, which row {stacked_rows[0][0]} credits")
            elif len(rows) > 1:
                self.observe(f"{bill} is unconfirmed in rows {[row[0] for row in rows]}")
        matcher = difflib.SequenceMatcher(None, [bill.amount for bill in without_row],
                                          [amount(row) for row in unclaimed], autojunk=False)
        matched_bills, matched_rows = set(), set()
        for block in matcher.get_matching_blocks():
            matched_bills.update(range(block.a, block.a + block.size))
            matched_rows.update(range(block.b, block.b + block.size))
        lost = [bill for i, bill in enumerate(without_row) if i not in matched_bills]
        for i, row in enumerate(unclaimed):
            if i in matched_rows:
                continue
            if row[1] == "stacked":
                doubled.append((row, "no bill the simulator stacked and no other row covers"))
            else:
                self.observe(f"unconfirmed row {row[0]} (type {row[3]}) stands for no bill the simulator stacked")
        f["lost"] = len(lost)
        f["doubled"] = len(doubled)
        for bill in lost:
            self.problem(f"LOST: {bill}, stacked by the simulator, is neither a stacked nor an unconfirmed row; "
                         f"its story: {'; '.join(bill.notes)}")
        for row, why in doubled:
            self.problem(f"DOUBLED: stacked row {row[0]} ({row[2]}) credits {why}; rows around it: "
                         f"{self.rows_around(row[0])}")
        for row in unconfirmed:
            self.observe(f"unconfirmed row {row[0]}: type {row[3]}, amount {row[2]}, detail {row[5]!r}")
            if not row[2]:
                self.problem(f"unconfirmed row {row[0]} carries no amount")

        # The totals, whatever the alignment says.
        total = sum(row[2] for row in stacked) + sum(amount(row) for row in unconfirmed)
        if len(stacked) + len(unconfirmed) != sim["stacked"] or total != sim["stacked_sum"] * UNIT:
            self.problem(f"the journal holds {len(stacked)} stacked rows worth {sum(r[2] for r in stacked)} "
                         f"and {len(unconfirmed)} unconfirmed; the simulator stacked {sim['stacked']} bills "
                         f"worth {sim['stacked_sum'] * UNIT}")
        if sim["state"] not in IDLE:
            self.problem(f"at the end the simulator shows {sim['state']:02X}, a report nobody took")

        # The client's view: it acknowledged every stacked row, and credited
        # nothing else.
        stacked_ids = {row[0] for row in stacked}
        if self.loop_completed():
            missing = stacked_ids - self.acked
            if missing:
                self.problem(f"stacked rows {sorted(missing)} were never acknowledged by the client")
            unacked_rows = [row[0] for row in stacked if row[6] is None]
            if unacked_rows:
                self.problem(f"stacked rows {unacked_rows} have no ack in the journal")
        foreign = set(self.credited) - stacked_ids
        if foreign:
            self.problem(f"the client credited ids {sorted(foreign)}, which are not stacked rows")
        if sum(self.credited.values()) != sum(row[2] for row in stacked) and not foreign:
            self.problem(f"the client credited {sum(self.credited.values())}, the journal's stacked rows "
                         f"hold {sum(row[2] for row in stacked)}")

    def loop_completed(self):
        return not any(p.startswith("the loop stopped") for p in self.problems)

    def rows_around(self, row_id):
        return [row[:4] for row in self.rows if abs(row[0] - row_id) <= 4]

    # -- reports

    def summary(self):
        f = self.figures
        moments = ", ".join(f"{moment} {name} {count}" for (moment, name), count in sorted(self.moments.items()))
        extra = ", ".join(f"{key} {f[key]}" for key in sorted(f) if key in (
            "pending messages", "write locks held", "disk fills", "journal failures", "fills that did not bite",
            "starts failed", "inserts refused", "crashes", "returned unoffered"))
        return (f"kill loop {self.variant} (seed {self.seed}): kills {f['kills']}, SIGTERMs {f['terms']}, "
                f"bills inserted {f['bills']}, stacked by the simulator {f['stacked by the simulator']}, "
                f"credited {f['credited']}, repeats {f['repeats']}, unconfirmed {f['unconfirmed']}, "
                f"lost {f['lost']}, doubled {f['doubled']}, {f['seconds']} s"
                + (f"\n  {extra}" if extra else "") + (f"\n  moments: {moments}" if moments else ""))

    def failed(self):
        return bool(self.problems)

    def report(self):
        lines = [self.summary(), f"repeat with NOTAVERO_KILL_LOOP_SEED={self.seed} "
                                 f"(scripts/kill-loop --seed {self.seed} --variants {self.variant})", "problems:"]
        lines += [f"  - {problem}" for problem in self.problems]
        if self.observations:
            lines.append("observed:")
            lines += [f"  - {text}" for text in self.observations[:20]]
        lines.append("the loop's last steps:")
        with self.story_lock:
            lines += [f"  {line}" for line in list(self.story)[-60:]]
        lines.append(f"the service's log ends: {self.log_tail(15)}")
        return "\n".join(lines)


# ---- tmpfs for the full variant ---------------------------------------------


def mount_tmpfs(path, size="16m"):
    """Mounts a tmpfs at path; returns None, or why it cannot be done."""
    if not hasattr(os, "geteuid") or os.geteuid() != 0:
        return "a tmpfs that fills up needs root (mount -t tmpfs)"
    if shutil.which("mount") is None:
        return "no mount command"
    result = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size},mode=0700", "notavero-kill-loop",
                             str(path)], capture_output=True, text=True, check=False)
    if result.returncode != 0:
        return f"mount -t tmpfs failed: {result.stderr.strip() or result.returncode}"
    return None


def unmount(path):
    if subprocess.run(["umount", str(path)], capture_output=True, check=False).returncode != 0:
        subprocess.run(["umount", "-l", str(path)], capture_output=True, check=False)


def run_variant(variant, kills, seed, workdir, verbose=False, out=sys.stderr):
    """Runs one loop in workdir; returns the KillLoop, or a reason to skip."""
    state_dir = pathlib.Path(workdir) / "state"
    state_dir.mkdir(mode=0o700, parents=True, exist_ok=True)  # the service's own, nobody else's
    if variant == "full":
        reason = mount_tmpfs(state_dir)
        if reason:
            return reason
    try:
        loop = KillLoop(workdir, kills, seed, variant, state_dir=state_dir, verbose=verbose, out=out)
        loop.run()
        return loop
    finally:
        if variant == "full":
            unmount(state_dir)


# ---- the short loops, for CTest ---------------------------------------------

SHORT_KILLS = {"plain": 14, "lock": 7, "full": 7}


class KillLoopTest(children.TestCase):
    def setUp(self):
        # A loop of several kills takes longer than one test's usual budget.
        usual = children.TEST_TIMEOUT
        children.TEST_TIMEOUT = max(usual, 900.0)
        try:
            super().setUp()
        finally:
            children.TEST_TIMEOUT = usual

    def loop(self, variant):
        seed = int(os.environ.get("NOTAVERO_KILL_LOOP_SEED") or random.SystemRandom().randrange(1 << 32))
        scale = float(os.environ.get("NOTAVERO_KILL_LOOP_KILLS") or 1)
        kills = max(1, round(SHORT_KILLS[variant] * scale))
        print(f"\n{variant}: seed {seed}, {kills} kills", file=sys.stderr, flush=True)
        with tempfile.TemporaryDirectory(prefix="kill-loop-") as workdir:
            loop = run_variant(variant, kills, seed, workdir)
            if isinstance(loop, str):
                self.skipTest(loop)
            print(loop.summary(), file=sys.stderr, flush=True)
            if loop.failed():
                self.fail("\n" + loop.report())
            # The loop did what it is for: the kills happened, and bills went in.
            self.assertGreaterEqual(loop.figures["kills"], kills)
            self.assertGreater(loop.figures["stacked by the simulator"], 0)

    def test_kill_9_and_sigterm(self):
        self.loop("plain")

    def test_journal_write_lock_held_by_another(self):
        self.loop("lock")

    def test_state_directory_fills_up(self):
        self.loop("full")


if __name__ == "__main__":
    unittest.main()
