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
  power-stacking   kill -9 and a power cut of the device as soon as the
                   simulator shows it took the Stack (state 17): the bill is
                   gone, neither stacked nor returned, and must be listed
                   unconfirmed with its amount
  power-stacked    the same once the simulator counted the bill stacked
                   (state 81), before or after the service heard of it
  power-pending    (lock variant) kill -9 and a power cut while the device
                   keeps a report the journal could not take (RETRY): the
                   bill is then only in the fallback file, which the next
                   start applies

Variants:
  plain   the kills alone
  lock    besides, another connection holds the journal's write lock
          (BEGIN IMMEDIATE) for 1 to 7 s at random moments
  full    besides, the state directory is a small tmpfs that fills up and
          is freed again (root only; skipped elsewhere)
  power   the kills, and power cuts of the device with some of them

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
from tests.support import TIMEOUT, Simulator, child_environment  # noqa: E402
from test_service import SERVE, Closed, Service, WebSocket  # noqa: E402

UNIT = 10000  # the journal's amounts are in 1/10000 currency units
VALUES = {2: 10, 3: 50, 4: 100, 5: 500, 6: 1000, 7: 5000}  # notavero-sim's own bill table
WAITING, DISABLED, ESCROW, STACKED, RETURNED = 0x14, 0x19, 0x80, 0x81, 0x82
IDLE = (WAITING, DISABLED)
MOMENTS = ("after-stack", "stacked-message", "in-escrow", "after-insert", "device-stacked")
POWER_MOMENTS = {"power-stacking": 0x17, "power-stacked": STACKED}
# Rows of the journal that are not bill ids a client keeps track of.
NOT_JOURNAL_IDS = ("decision", "ok", "error", "pending", "status", "state", "link")
ESCROW_TIMEOUT_MS = 3000
# How long one bill, or the wait for the device to take the next, may last:
# a lock held 7 s, a commit's 5 s busy wait, a decision's 3 s and a restart,
# on a loaded machine.
BILL_TIMEOUT = 4 * TIMEOUT


class Failure(AssertionError):
    """The loop cannot go on (a wait that never ended)."""


def read_journal(path, sql):
    with contextlib.closing(sqlite3.connect(f"file:{path}?mode=ro", uri=True, timeout=TIMEOUT)) as db:
        return db.execute(sql).fetchall()


class Server(Service):
    """One run of notavero-serve, its stderr appended to log_path; signal()
    remembers what it sent.  Service's http() and journal come with it."""

    def __init__(self, state_dir, device_path, log_path):
        self.state_dir = pathlib.Path(state_dir)
        self.log = open(log_path, "a", encoding="utf-8")  # noqa: SIM115  (closed in reap)
        self.log.write(f"---- start {time.strftime('%H:%M:%S')}\n")
        self.log.flush()
        self.process = children.popen(
            [SERVE, "--http-port", "0", "--state-dir", str(state_dir), "--device", f"kiosk={device_path}",
             "--escrow-timeout", str(ESCROW_TIMEOUT_MS)],
            stdout=subprocess.PIPE, stderr=self.log, text=True, env=child_environment())
        self.signalled = self.signal_time = None
        line = self.process.stdout.readline()
        match = re.search(r"listening on http://127\.0\.0\.1:(\d+)/", line)
        if not match:
            raise Failure(f"notavero-serve did not start (status {self.reap(TIMEOUT)}): {line!r}")
        self.port = int(match.group(1))
        self.token = (self.state_dir / "token").read_text().strip()

    def signal(self, sig):
        """Sends sig unless the process is killed or gone; any thread."""
        if self.signalled == signal.SIGKILL or not self.alive():
            return False
        self.signalled, self.signal_time = sig, time.monotonic()
        self.process.send_signal(sig)
        return True

    def alive(self):
        return self.process.poll() is None

    def reap(self, timeout):
        """Waits for the end; kills the process when it does not come."""
        try:
            status = self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            status = None
        children.kill(self.process)  # reaps it, or ends it first when it hangs
        self.log.close()
        return status

    def healthz(self):
        """The status code of /healthz, None when nothing answers."""
        try:
            return self.http("GET", "/healthz")[0]
        except OSError:
            return None


class Connection(WebSocket):
    """The test WebSocket client, read into a queue by a thread of its own
    (which answers pings, hence the lock on sends)."""

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

    def close(self):
        with contextlib.suppress(OSError):
            self.sock.shutdown(socket.SHUT_RDWR)
        self.sock.close()
        self.reader.join(TIMEOUT)


@dataclasses.dataclass
class Plan:
    moment: str = None  # one of MOMENTS, or None: the bill goes through
    sig: int = signal.SIGKILL
    delay: float = 0.0  # after-insert, after-stack, device-stacked: seconds after the moment
    lock: tuple = None  # (delay after insert, hold) of another writer's lock
    fill: tuple = None  # ("before",) the insert, or ("during", delay after insert, hold)
    kill_when_full: bool = False  # "before": kill -9 while the journal fails
    fired: str = None  # the moment it fired at

    def describe(self):
        parts = []
        if self.moment:
            parts.append(f"{signame(self.sig)} at {self.moment}" + (f" +{self.delay:.3f} s" if self.delay else ""))
        if self.lock:
            parts.append(f"write lock at +{self.lock[0]:.2f} s for {self.lock[1]:.1f} s")
        if self.fill:
            parts.append("disk full before the insert" if self.fill[0] == "before" else
                         f"disk full at +{self.fill[1]:.2f} s for {self.fill[2]:.1f} s")
        return ", ".join(parts) or "no fault"


def signame(sig):
    return "SIGTERM" if sig == signal.SIGTERM else "kill -9"


@dataclasses.dataclass(eq=False)
class Bill:
    number: int
    type: int
    plan: Plan
    before: dict  # the simulator's status just after the insert (it has not counted the bill yet)
    first_id: int  # the client's last seen id at the insert: later rows are this bill's
    started: float = dataclasses.field(default_factory=time.monotonic)
    notes: list = dataclasses.field(default_factory=list)
    escrows: list = dataclasses.field(default_factory=list)
    stacked_ids: list = dataclasses.field(default_factory=list)
    outcome: str = None  # by the simulator: stacked, returned or rejected
    ends: int = 0  # how often the service ended while it was in play
    quiet_since: float = None  # when the device was done and the journal had nothing more
    unreported: bool = False  # the running service never reported it stacked

    @property
    def amount(self):
        return VALUES[self.type] * UNIT

    def __str__(self):
        return f"bill {self.number} (type {self.type}, {VALUES[self.type]})"


class KillLoop:
    """One loop: a simulator, the service on one state directory, a client.
    run() returns the figures; problems lists what went wrong."""

    def __init__(self, workdir, kills, seed, variant="plain", state_dir=None, verbose=False, out=sys.stderr):
        assert variant in ("plain", "lock", "full", "power")
        self.workdir = pathlib.Path(workdir)
        self.state_dir = pathlib.Path(state_dir or self.workdir / "state")
        self.journal = self.state_dir / "journal.sqlite"
        self.server_log = self.workdir / "serve.log"
        self.filler = self.state_dir / "filler"
        self.kills, self.seed, self.variant, self.verbose, self.out = kills, seed, variant, verbose, out
        self.figures, self.moments = Counter(), Counter()
        self.problems, self.observations, self.story = [], [], deque(maxlen=300)
        self.t0, self.restart_at = time.monotonic(), 0.0
        self.bills, self.timers, self.cache, self.messages = [], [], {}, queue.Queue()
        self.bill = None  # the bill in play
        self.sim = self.server = self.connection = None
        self.stopping = self.stopped = self.hello_done = self.enabled = self.watch_stacked = False
        self.watch_power = None  # the simulator's state at which the planned power cut comes
        # The device's states as the service reports them since it started.
        self.states_seen, self.last_state, self.last_state_time = 0, None, 0.0
        # The client's own records, kept across connections as a kiosk keeps
        # them on disk: what it has seen, credited and acknowledged.
        self.last_seen = 0
        self.credited = {}  # stacked id -> amount
        self.ack_sent, self.acked = set(), set()
        self.ack_retry = {}  # id -> when to send the ack again
        # Faults.
        self.fill_lock, self.full, self.locker, self.release_lock = threading.Lock(), False, None, threading.Event()

    # -- telling what happens

    def say(self, text, bill=None):
        line = f"{time.monotonic() - self.t0:9.3f} {text}"
        self.story.append(line)
        if bill:
            bill.notes.append(f"+{time.monotonic() - bill.started:.3f}s {text}")
        if self.verbose:
            print(line, file=self.out, flush=True)

    def problem(self, text):
        self.say(f"PROBLEM: {text}")
        self.problems.append(text)

    def observe(self, text):
        self.say(f"observed: {text}")
        self.observations.append(text)

    def log_tail(self, lines):
        try:
            return " | ".join(self.server_log.read_text(errors="replace").splitlines()[-lines:])
        except OSError:
            return "(no log)"

    # -- the run

    def run(self):
        self.say(f"kill loop, variant {self.variant}, seed {self.seed}, {self.kills} kills")
        self.state_dir.mkdir(mode=0o700, parents=True, exist_ok=True)
        try:
            self.sim = Simulator(merge_stderr=True)
            self.start_service()
            try:
                attempt = 0
                while self.figures["kills"] < self.kills:
                    if self.figures["bills"] > 30 + 10 * self.kills:
                        raise Failure(f"no progress: {self.figures['bills']} bills for "
                                      f"{self.figures['kills']} kills")
                    attempt += 1
                    self.one_bill(attempt)
                self.finish()
            except (Failure, queue.Empty) as failure:
                self.stopped = True
                self.problem(f"the loop stopped: {str(failure) or 'notavero-sim did not answer'}")
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
                plan.fill = ("before",)
                plan.kill_when_full = rng.random() < 0.5
                return plan  # its own checks, and its own kill
            plan.fill = ("during", rng.uniform(0, 1.5), rng.uniform(0.5, 4.0))
        if self.variant == "lock" and rng.random() < 0.5:
            plan.lock = (rng.uniform(0, 1.5), rng.uniform(1.0, 7.0))
        if self.variant == "power" and rng.random() < 0.6:
            plan.moment = rng.choice(sorted(POWER_MOMENTS))
            return plan
        if plan.lock and rng.random() < 0.3:
            plan.moment = "power-pending"
            return plan
        if rng.random() < 0.86:
            plan.moment = rng.choice(MOMENTS)
            if plan.moment != "device-stacked" and rng.random() < 0.15:
                plan.sig = signal.SIGTERM
            plan.delay = {"after-insert": rng.uniform(0, 1.5), "after-stack": rng.uniform(0, 0.05),
                          "device-stacked": rng.uniform(0, 0.15)}.get(plan.moment, 0.0)
        return plan

    def one_bill(self, attempt):
        # Each attempt's choices come from the seed and its number alone, so
        # that a run repeats them whatever the timing did to earlier bills.
        rng = random.Random(f"{self.seed}:{attempt}")
        plan = self.choose_plan(rng)
        bill_type = rng.choice(sorted(VALUES))
        self.ready()
        before = plan.fill and plan.fill[0] == "before"
        if before:
            self.fill_disk()
        taken, status = self.sim.insert(bill_type)
        if not taken:  # the device left 14 between the check and the insert
            self.say(f"insert {bill_type} refused in state {status['state']:02X}")
            self.figures["inserts refused"] += 1
            if self.figures["inserts refused"] > 20 + 2 * self.kills:
                raise Failure(f"the simulator refused {self.figures['inserts refused']} inserts")
            self.free_disk()
            return
        bill = self.bill = Bill(len(self.bills) + 1, bill_type, plan, status, self.last_seen)
        self.bills.append(bill)
        self.figures["bills"] += 1
        self.say(f"{bill} inserted; plan: {plan.describe()}", bill)
        if plan.moment == "after-insert":
            self.later(plan.delay, self.fire, "after-insert")
        if plan.lock:
            self.later(plan.lock[0], self.start_locker, plan.lock[1])
        if plan.fill and not before:
            self.later(plan.fill[1], self.fill_disk)
            self.later(plan.fill[1] + plan.fill[2], self.free_disk)
        if before:
            # Either the journal still takes the escrow (its log had room), or
            # the service finds that it fails, or (a service that does not
            # look) the bill comes back.
            self.pump(lambda: (self.hello_done and bill.escrows) or self.healthz() == 503
                      or self.bill_finished(), BILL_TIMEOUT, f"{bill}'s escrow, or its end, on a full disk")
            if bill.escrows:
                self.say("the journal still took rows on a full disk (its log had room)")
                self.figures["fills that did not bite"] += 1
                self.free_disk()
            else:
                self.full_disk_checks(bill)
        self.pump(self.bill_finished, BILL_TIMEOUT, f"{bill} to be finished")
        self.bill = None
        if bill.outcome == "returned" and not (bill.escrows or bill.ends or plan.fill or plan.lock):
            self.figures["returned unoffered"] += 1  # nothing stopped the service, yet the client was never asked
        self.say(f"{bill}: {bill.outcome} by the simulator", bill)
        self.timers = [timer for timer in self.timers if timer.is_alive()]

    def later(self, delay, function, *args):
        timer = threading.Timer(delay, function, args)
        timer.daemon = True
        self.timers.append(timer)
        timer.start()

    def fire(self, moment, sig=None):
        """The planned interruption of the bill in play (any thread)."""
        bill, server = self.bill, self.server
        if bill is None or bill.plan.fired:
            return
        bill.plan.fired = moment
        sig = sig or bill.plan.sig
        if server and server.signal(sig):
            self.moments[(moment, signame(sig))] += 1
            self.say(f"{signame(sig)} at {moment} ({bill})", bill)
            if moment.startswith("power-"):
                # The whole kiosk loses its power: the device forgets the bill
                # in its path and any report it kept.
                self.sim.command("power-cycle")
                self.figures["power cuts"] += 1
                self.say(f"power cut of the device at {moment}", bill)

    # -- waiting: the client's messages, the service's life, the simulator

    def pump(self, condition, timeout, what):
        """Handles the client's messages, restarts the service when it has
        gone, and returns once condition() holds."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                self.handle(*self.messages.get(timeout=0.005 if self.watch_stacked else 0.02))
                continue  # everything queued first
            except queue.Empty:
                pass
            self.look_after_service()
            now = time.monotonic()
            for bill_id, when in list(self.ack_retry.items()):
                if now >= when and self.hello_done and bill_id not in self.acked:
                    self.send_ack(bill_id)
            if self.watch_stacked:
                self.watch_device_stacked()
            if self.watch_power is not None:
                self.watch_device_power()
            if condition():
                return
            if time.monotonic() > deadline:
                status = self.sim_status(force=True)
                raise Failure(f"timed out after {timeout:g} s waiting for {what} (simulator: state "
                              f"{status['state']:02X} stacked={status['stacked']} returned={status['returned']}; "
                              f"service {'up' if self.server and self.server.alive() else 'down'}, "
                              f"hello {'done' if self.hello_done else 'not done'}, "
                              f"unacked {sorted(self.unacked())}, last seen {self.last_seen}, "
                              f"journal's last id {self.journal_last_id(force=True)})")

    def cached(self, key, period, function, force):
        """function(), asked again only after period seconds (the waits poll)."""
        now = time.monotonic()
        if force or key not in self.cache or now - self.cache[key][0] > period:
            self.cache[key] = (now, function())
        return self.cache[key][1]

    def sim_status(self, force=False):
        return self.cached("sim", 0.02, self.sim.numbers, force)

    def healthz(self, force=False):
        return self.cached("healthz", 0.1, lambda: self.server.healthz() if self.server else None, force)

    def journal_last_id(self, force=False):
        def last_id():
            try:
                return read_journal(self.journal, "SELECT COALESCE(MAX(id), 0) FROM events")[0][0]
            except sqlite3.Error as error:
                self.say(f"journal not readable: {error}")
                return None
        return self.cached("last id", 0.05, last_id, force)

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
        if any(timer.is_alive() for timer in self.timers) or (self.full and bill.plan.fill != ("before",)):
            return False  # a planned fault is still to come, or to be undone
        if bill.outcome is None:
            counted = (status["stacked"] - bill.before["stacked"], status["returned"] - bill.before["returned"])
            bill.outcome = {(1, 0): "stacked", (0, 1): "returned", (0, 0): "rejected"}.get(counted)
            if bill.outcome is None:
                raise Failure(f"the simulator counted more than one bill for {bill}: {status}")
            if bill.outcome == "rejected" and (bill.plan.fired or "").startswith("power-"):
                bill.outcome = "vanished"  # in the device's path when its power went
        if not self.caught_up():
            return False
        if bill.outcome == "stacked" and not (bill.stacked_ids or bill.ends or bill.unreported):
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

    def ready(self):
        """Returns once the service is up, the client has said hello and
        acknowledged every stacked bill, and the device waits for a bill.
        The service's first state after a start is what the run before it
        left (the device may still wait with the old run's enable, and the
        new driver turns that off until it has read the bill table): a bill
        inserted then comes back unoffered.  So a later waiting state, or
        the first one that stays for a while."""
        def settled():
            return self.last_state == WAITING and (
                self.states_seen >= 2 or time.monotonic() - self.last_state_time > 1.5)
        self.pump(lambda: self.caught_up() and self.enabled and not self.unacked() and settled()
                  and self.sim_status()["state"] == WAITING,
                  BILL_TIMEOUT, "the device to wait for a bill with the client caught up")

    # -- the service's life

    def start_service(self):
        self.states_seen, self.last_state = 0, None
        try:
            self.server = Server(self.state_dir, self.sim.path, self.server_log)
        except Failure as failed:
            self.figures["starts failed"] += 1
            self.server = None
            why = "the disk is full" if self.full else "the journal is locked" if self.locker else None
            if why:
                self.observe(f"{failed} while {why}")
            else:
                self.problem(f"{failed}; its log ends: {self.log_tail(5)}")
            self.restart_at = time.monotonic() + 0.5
            return
        self.say(f"service started, pid {self.server.process.pid}, port {self.server.port}")
        self.start_client()

    def start_client(self):
        self.drop_client()
        try:
            self.connection = Connection(self.server.port, self.messages)
        except (Closed, OSError) as error:
            self.say(f"connection failed: {error}")
            return
        self.send({"cmd": "hello", "token": self.server.token, "since": self.last_seen, "ref": "hello"})

    def drop_client(self):
        if self.connection:
            self.connection.close()
        self.connection = None
        self.hello_done = self.enabled = False

    def look_after_service(self):
        server, bill = self.server, self.bill
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
        if server.signalled == signal.SIGKILL:
            self.figures["kills"] += 1
            self.say(f"service killed (status {status})")
        elif server.signalled == signal.SIGTERM:
            self.figures["terms"] += 1
            self.say(f"service ended after SIGTERM (status {status})")
            if status != 0:
                self.problem(f"after SIGTERM the service ended with status {status}; log: {self.log_tail(5)}")
            if bill and bill.plan.fired == "in-escrow":
                # SIGTERM with a bill in escrow: the service sends it back.
                now = self.sim_status(force=True)
                if now["stacked"] != bill.before["stacked"]:
                    self.problem(f"{bill} waited in escrow at SIGTERM and was stacked")
                elif now["state"] == ESCROW:
                    self.problem(f"{bill} waited in escrow at SIGTERM and is still there after the service ended")
        else:
            self.figures["crashes"] += 1
            self.problem(f"the service ended by itself with status {status} "
                         f"({bill.plan.describe() if bill else 'no bill'}); its log ends: {self.log_tail(8)}")
        if bill:
            bill.ends += 1
            self.say(f"service ended, status {status}", bill)
        self.server = None
        self.drop_client()
        self.restart_at = time.monotonic()
        if not self.stopping:
            self.start_service()

    # -- the client

    def send(self, message):
        if self.connection is None:
            return
        try:
            self.connection.send(message)
        except OSError as error:
            self.say(f"send failed ({error}): {message}")

    def send_ack(self, bill_id):
        self.ack_sent.add(bill_id)
        self.ack_retry.pop(bill_id, None)
        self.send({"cmd": "ack", "id": bill_id, "ref": f"ack:{bill_id}"})

    def handle(self, source, message):
        bill = self.bill
        if message is None:
            if source is self.connection:
                self.say("connection closed")
                self.drop_client()
                if self.server and not self.server.signalled:
                    try:
                        self.server.process.wait(timeout=2)  # it is dying: look_after_service says so
                    except subprocess.TimeoutExpired:
                        self.problem("the service closed the client's connection while running")
            return
        kind, ref = message.get("type"), str(message.get("ref", ""))
        if isinstance(message.get("id"), int) and kind not in NOT_JOURNAL_IDS:
            self.last_seen = max(self.last_seen, message["id"])
        if kind == "escrow" and message.get("decision") is None:
            self.on_escrow(message, bill)
        elif kind == "stacked":
            self.on_stacked(message, bill)
        elif kind == "ok" and message.get("cmd") == "hello":
            if message.get("more"):
                self.send({"cmd": "hello", "token": self.server.token, "since": message["last_id"], "ref": "hello"})
                return
            self.hello_done = True
            self.say(f"hello: {message.get('replayed')} replayed")
            self.send({"cmd": "enable", "ref": "enable"})
            # An ack whose reply was lost with the service goes again (an ack
            # is idempotent); the unacknowledged stacked rows came in the replay.
            for bill_id in sorted(self.unacked() & self.ack_sent):
                self.ack_retry.setdefault(bill_id, time.monotonic())
        elif kind == "ok" and message.get("cmd") == "enable":
            self.enabled = True
        elif kind == "ok" and message.get("cmd") == "ack":
            self.acked.add(message["id"])
            self.ack_retry.pop(message["id"], None)
        elif kind == "error" and ref.startswith("ack:"):
            self.ack_retry[int(ref[4:])] = time.monotonic() + 0.5
            self.say(f"ack refused: {message}")
        elif kind == "error" and not ref.startswith("stack:"):  # a replayed escrow that no longer waits
            self.problem(f"error reply: {message}")
        elif kind == "state" and message.get("device") == "kiosk":
            self.states_seen += 1
            self.last_state = message.get("word", 0) & 0xFF
            self.last_state_time = time.monotonic()
        elif kind == "pending":
            self.figures["pending messages"] += 1
            self.say(f"pending: {message}", bill)
            if bill and not bill.plan.fired and bill.plan.moment == "power-pending":
                self.fire("power-pending")
            # An outcome the journal could not take stays with the device.
            if self.full and (state := self.sim_status(force=True)["state"]) not in (STACKED, RETURNED):
                self.problem(f"{message} while the disk is full, but the device shows {state:02X}, "
                             "not the outcome it keeps until it is acknowledged")
        elif kind in ("returned", "rejected", "unconfirmed", "repeat"):
            self.say(f"{kind}: {message}", bill)

    def on_escrow(self, message, bill):
        # Rows after the insert are the bill's (the client had every earlier
        # one); one replayed before the hello's reply was never decided, and
        # the service refuses a decision for it now.
        live = self.hello_done
        if bill and message.get("device") == "kiosk" and message["id"] > bill.first_id:
            bill.escrows.append(message["id"])
            self.say(f"escrow id {message['id']} ({message.get('amount')}){'' if live else ' replayed'}", bill)
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
            elif bill.plan.moment in POWER_MOMENTS:
                self.watch_power = POWER_MOMENTS[bill.plan.moment]

    def watch_device_stacked(self):
        bill = self.bill
        if bill is None or bill.plan.fired:
            self.watch_stacked = False
        elif self.sim_status(force=True)["stacked"] > bill.before["stacked"]:
            self.watch_stacked = False
            self.say("the simulator counted it stacked", bill)
            self.later(bill.plan.delay, self.fire, "device-stacked")

    def watch_device_power(self):
        bill = self.bill
        if bill is None or bill.plan.fired:
            self.watch_power = None
        elif self.sim_status(force=True)["state"] == self.watch_power:
            self.watch_power = None
            self.fire(bill.plan.moment)

    def on_stacked(self, message, bill):
        bill_id, amount = message["id"], message.get("amount")
        if self.credited.get(bill_id, amount) != amount:
            self.problem(f"stacked id {bill_id} came with {amount}, earlier with {self.credited[bill_id]}")
        self.credited[bill_id] = amount
        if bill:
            if bill_id > bill.first_id and amount == bill.amount and bill_id not in bill.stacked_ids:
                bill.stacked_ids.append(bill_id)
            self.say(f"stacked id {bill_id} ({amount}){' acked' if message.get('acked') else ''}", bill)
        if message.get("acked"):
            if bill_id not in self.ack_sent:
                self.problem(f"stacked id {bill_id} is acknowledged, but this client never sent its ack")
            self.acked.add(bill_id)
        elif bill and not bill.plan.fired and bill.plan.moment == "stacked-message":
            self.fire("stacked-message")
        else:
            self.send_ack(bill_id)

    # -- faults on the journal

    def start_locker(self, hold):
        if self.locker or self.stopping:
            return
        self.release_lock.clear()
        self.locker = threading.Thread(target=self._hold_lock, args=(hold,), daemon=True)
        self.locker.start()

    def _hold_lock(self, hold):
        try:
            with contextlib.closing(sqlite3.connect(str(self.journal), timeout=TIMEOUT, isolation_level=None)) as db:
                db.execute("BEGIN IMMEDIATE")
                self.figures["write locks held"] += 1
                self.say(f"journal write lock held for {hold:.1f} s")
                self.release_lock.wait(hold)  # the fault: nobody else can write meanwhile
                db.execute("ROLLBACK")
                self.say("journal write lock released")
        except sqlite3.Error as error:
            self.say(f"the write lock was not taken: {error}")
        finally:
            self.locker = None

    def fill_disk(self):
        with self.fill_lock:
            if self.full or self.stopping:
                return
            # A checkpoint first, so that the next commit needs new space
            # rather than reusing the write-ahead log's.
            try:
                with contextlib.closing(sqlite3.connect(str(self.journal), timeout=2)) as db:
                    if db.execute("PRAGMA wal_checkpoint(TRUNCATE)").fetchone()[0]:
                        self.say("checkpoint busy: the log may still have room")
            except sqlite3.Error as error:
                self.say(f"checkpoint failed: {error}")
            written = 0
            with open(self.filler, "ab", buffering=0) as filler:
                for size in (1 << 20, 4096, 512):
                    try:
                        while True:
                            written += filler.write(b"\0" * size)
                    except OSError as error:
                        if error.errno != errno.ENOSPC:
                            raise
            self.full = True
            self.figures["disk fills"] += 1
            self.say(f"disk full ({written} bytes of filler)", self.bill)

    def free_disk(self):
        with self.fill_lock:
            if self.full:
                with contextlib.suppress(FileNotFoundError):
                    self.filler.unlink()
                self.full = False
                self.say("disk space freed", self.bill)

    def full_disk_checks(self, bill):
        """The disk filled before the bill went in and the journal could not
        take its escrow: the bill must not be stacked, acceptance must go off
        (the device's enable mask all zero; its state may still be the
        returned report, kept until the journal takes it) and /healthz say
        503 until the journal can commit again; then acceptance comes back
        by itself."""
        self.figures["journal failures"] += 1
        server = self.server
        try:  # a service that died meanwhile: look_after_service says why
            self.pump(lambda: self.server is not server or
                      (self.sim_status()["enabled"] == "000000" and self.healthz() == 503),
                      TIMEOUT, "acceptance to go off while the journal cannot commit")
        except Failure:
            status = self.sim_status(force=True)
            self.problem(f"the journal could not take {bill}'s escrow (disk full), yet {TIMEOUT:g} s later the "
                         f"device's enable mask is {status['enabled']} (state {status['state']:02X}) and /healthz "
                         f"answers {self.healthz(force=True)}")
        if self.sim_status(force=True)["stacked"] != bill.before["stacked"]:
            self.problem(f"{bill} was stacked though its escrow never reached the journal")
        if bill.plan.kill_when_full and self.server and self.server.alive():
            bill.plan.moment = "disk-full"
            server = self.server
            self.fire("disk-full", signal.SIGKILL)
            self.pump(lambda: self.server is not server, TIMEOUT, "the killed service to be reaped")
        self.free_disk()
        try:
            self.pump(lambda: self.server is not None and self.server.alive() and
                      self.sim_status()["state"] == WAITING and self.healthz() == 200,
                      2 * TIMEOUT, "acceptance to come back once the journal can commit")
        except Failure as failure:
            self.problem(f"after the disk was freed: {failure}")

    # -- the end

    def undo_faults(self):
        for timer in self.timers:
            timer.cancel()
        for timer in self.timers:
            timer.join(TIMEOUT)
        self.release_lock.set()
        locker = self.locker
        if locker:
            locker.join(TIMEOUT)
        self.free_disk()

    def finish(self):
        """Undoes every fault, lets the last bill finish, connects the client
        once more (its replay) and stops the service with SIGTERM."""
        self.undo_faults()
        self.ready()
        self.say("last connection of the client")
        self.start_client()
        self.pump(lambda: self.hello_done and not self.unacked(), BILL_TIMEOUT, "the last replay to be acknowledged")
        self.stopping = True
        server, self.server = self.server, None
        server.signal(signal.SIGTERM)
        status = server.reap(TIMEOUT)
        if status != 0:
            self.problem(f"the service's last SIGTERM ended it with status {status}; log: {self.log_tail(5)}")

    def stop_everything(self):
        self.stopping = True
        self.undo_faults()
        self.drop_client()
        if self.server:
            self.server.reap(TIMEOUT if self.server.signal(signal.SIGTERM) else 0)
            self.server = None

    # -- the reckoning

    def reconcile(self):
        """The journal against the simulator's own count, bill by bill."""
        sim = self.sim.numbers()
        try:
            rows = read_journal(self.journal, "SELECT id, kind, amount, code, detail, acked_ms FROM events ORDER BY id")
        except sqlite3.Error as error:
            self.problem(f"the journal cannot be read: {error}")
            return
        stacked = [row for row in rows if row[1] == "stacked"]
        unconfirmed = [row for row in rows if row[1] == "unconfirmed"]
        kinds = Counter(row[1] for row in rows)
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
        vanished = [bill for bill in self.bills if bill.outcome == "vanished"]
        f["vanished in power cuts"] = len(vanished)
        expected = [bill for bill in self.bills if bill.outcome == "stacked"]
        if len(expected) != sim["stacked"] or sum(b.amount for b in expected) != sim["stacked_sum"] * UNIT:
            self.problem(f"the loop's own count of stacked bills ({len(expected)}) is not the simulator's "
                         f"({sim['stacked']}, {sim['stacked_sum']})")
        escrow_owner = {escrow: bill for bill in self.bills for escrow in bill.escrows}
        stacked_owner = {bill_id: bill for bill in self.bills for bill_id in bill.stacked_ids}
        claimed = {bill.number: [] for bill in self.bills}
        unclaimed = []
        current = None
        for row in rows:
            if row[1] == "escrow":
                current = escrow_owner.get(row[0])
            elif row[1] in ("stacked", "unconfirmed"):
                owner = stacked_owner.get(row[0]) or current
                if owner is not None and amount(row) == owner.amount:
                    claimed[owner.number].append(row)
                else:
                    unclaimed.append(row)
        doubled, without_row = [], []
        for bill in self.bills:
            mine = claimed[bill.number]
            stacked_rows = [row for row in mine if row[1] == "stacked"]
            if bill.outcome == "vanished":
                # Sent to the stacker, then the power went: whether it went in
                # is not known, so it must be listed unconfirmed, and only so.
                doubled += [(row, f"{bill}, which vanished in a power cut") for row in stacked_rows]
                if not mine:
                    without_row.append(bill)
            elif bill.outcome != "stacked":
                doubled += [(row, f"{bill}, which the device {bill.outcome}") for row in stacked_rows]
            elif not mine:
                without_row.append(bill)
            elif stacked_rows:
                doubled += [(row, f"{bill}, which row {stacked_rows[0][0]} already credits")
                            for row in stacked_rows[1:]]
                for row in mine:
                    if row[1] == "unconfirmed":
                        self.observe(f"unconfirmed row {row[0]} for {bill}, which row {stacked_rows[0][0]} credits")
            elif len(mine) > 1:
                self.observe(f"{bill} is unconfirmed in rows {[row[0] for row in mine]}")
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
                         f"{[other[:4] for other in rows if abs(other[0] - row[0]) <= 4]}")
        for row in unconfirmed:
            self.observe(f"unconfirmed row {row[0]}: type {row[3]}, amount {row[2]}, detail {row[4]!r}")
            if not row[2]:
                self.problem(f"unconfirmed row {row[0]} carries no amount")

        # The totals, whatever the alignment says.
        # An unconfirmed row that a later outcome resolves is that outcome's bill.
        resolved = {int(row[4][len("resolves #"):]) for row in rows
                    if row[1] in ("stacked", "returned") and (row[4] or "").startswith("resolves #")}
        open_unconfirmed = [row for row in unconfirmed if row[0] not in resolved]
        total = sum(row[2] for row in stacked) + sum(amount(row) for row in open_unconfirmed)
        owed = sim["stacked_sum"] * UNIT + sum(bill.amount for bill in vanished)
        if len(stacked) + len(open_unconfirmed) != sim["stacked"] + len(vanished) or total != owed:
            self.problem(f"the journal holds {len(stacked)} stacked rows worth {sum(r[2] for r in stacked)} "
                         f"and {len(open_unconfirmed)} unconfirmed; the simulator stacked {sim['stacked']} bills "
                         f"worth {sim['stacked_sum'] * UNIT}, and {len(vanished)} vanished in power cuts")
        if sim["state"] not in IDLE:
            self.problem(f"at the end the simulator shows {sim['state']:02X}, a report nobody took")

        # The client's view: it acknowledged every stacked row, and credited
        # nothing else.
        stacked_ids = {row[0] for row in stacked}
        not_acked, no_ack_row = stacked_ids - self.acked, [row[0] for row in stacked if row[5] is None]
        if not self.stopped and (not_acked or no_ack_row):
            self.problem(f"stacked rows {sorted(not_acked)} were never acknowledged by the client; "
                         f"stacked rows {no_ack_row} have no ack in the journal")
        foreign = set(self.credited) - stacked_ids
        if foreign:
            self.problem(f"the client credited ids {sorted(foreign)}, which are not stacked rows")
        elif sum(self.credited.values()) != sum(row[2] for row in stacked):
            self.problem(f"the client credited {sum(self.credited.values())}, the journal's stacked rows "
                         f"hold {sum(row[2] for row in stacked)}")

    # -- reports

    def summary(self):
        f = self.figures
        moments = ", ".join(f"{moment} {name} {count}" for (moment, name), count in sorted(self.moments.items()))
        extra = ", ".join(f"{key} {f[key]}" for key in sorted(f) if key in (
            "pending messages", "write locks held", "disk fills", "journal failures", "fills that did not bite",
            "power cuts", "vanished in power cuts",
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
            lines += ["observed:"] + [f"  - {text}" for text in self.observations[:20]]
        lines += ["the loop's last steps:"] + [f"  {line}" for line in list(self.story)[-60:]]
        lines.append(f"the service's log ends: {self.log_tail(15)}")
        return "\n".join(lines)


def run_variant(variant, kills, seed, workdir, verbose=False, out=sys.stderr):
    """Runs one loop in workdir; returns the KillLoop, or a reason to skip.
    The full variant's state directory is a small tmpfs (root only)."""
    state_dir = pathlib.Path(workdir) / "state"
    state_dir.mkdir(mode=0o700, parents=True, exist_ok=True)  # the service's own, nobody else's
    if variant == "full":
        if not hasattr(os, "geteuid") or os.geteuid() != 0:
            return "a tmpfs that fills up needs root (mount -t tmpfs)"
        if shutil.which("mount") is None:
            return "no mount command"
        mount = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=16m,mode=0700", "notavero-kill-loop",
                                str(state_dir)], capture_output=True, text=True, check=False)
        if mount.returncode != 0:
            return f"mount -t tmpfs failed: {mount.stderr.strip() or mount.returncode}"
    try:
        loop = KillLoop(workdir, kills, seed, variant, state_dir=state_dir, verbose=verbose, out=out)
        loop.run()
        return loop
    finally:
        if variant == "full" and subprocess.run(["umount", str(state_dir)], capture_output=True, check=False).returncode:
            subprocess.run(["umount", "-l", str(state_dir)], capture_output=True, check=False)


# ---- the short loops, for CTest ---------------------------------------------

SHORT_KILLS = {"plain": 10, "lock": 7, "full": 7, "power": 6}


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
        kills = max(1, round(SHORT_KILLS[variant] * float(os.environ.get("NOTAVERO_KILL_LOOP_KILLS") or 1)))
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

    def test_power_cuts_with_the_kills(self):
        self.loop("power")


if __name__ == "__main__":
    unittest.main()
