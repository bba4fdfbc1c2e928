"""Child processes of the tests (simulators, tools, other interpreters), and a
test case that no child outlives.

A child left running keeps the pipes it inherited open, and CTest waits for
the end of the test's output: one stray simulator and the test run never
ends.  So every child started by popen()

- runs in a process group of its own, which kill() ends as a whole;
- is killed by the kernel when the test process dies, however it dies (a
  crash, an abort of a sanitizer, CTest's time-out), where setpriv is
  installed (util-linux);
- is killed at the end of the test that started it when the test derives
  from TestCase, whatever the test did;

and a TestCase that runs longer than NOTAVERO_TEST_TIMEOUT seconds (120 by
default) has its children killed, which ends the waits on them, and fails.
If it still does not end, the interpreter prints every thread's stack and
exits.

tests/sim and tests/tools import it as tests.children, with bindings/python
put on sys.path.
"""

import faulthandler
import os
import shutil
import signal
import subprocess
import sys
import threading
import unittest

TEST_TIMEOUT = float(os.environ.get("NOTAVERO_TEST_TIMEOUT") or 120)
# After the children are killed, how long a timed-out test has to end.
_GRACE = 30.0

# setpriv (util-linux) asks the kernel to kill the child when its parent
# dies, then runs the child's program in the same process.  (Python code in
# a preexec_fn could deadlock: the tests fork while the driver's threads run.)
_SETPRIV = shutil.which("setpriv")
_DIE_WITH_PARENT = [_SETPRIV, "--pdeathsig", "KILL", "--"] if _SETPRIV else []
DIES_WITH_PARENT = bool(_DIE_WITH_PARENT)

_live = {}  # pid -> Popen, the children not yet reaped
_live_lock = threading.Lock()


def popen(args, **kwargs):
    """subprocess.Popen for a child that cannot outlive the test process.
    Call it on the main thread: the kernel kills the child when the thread
    that started it ends."""
    proc = subprocess.Popen([*_DIE_WITH_PARENT, *args], process_group=0, **kwargs)
    with _live_lock:
        _live[proc.pid] = proc
    return proc


def kill(proc, close_pipes=True):
    """Kills proc's process group, reaps proc and closes its pipes (unless a
    thread of the caller's still reads them)."""
    if proc.poll() is None:  # once reaped, its pid may belong to another process
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        proc.wait()
    forget(proc)
    for stream in (proc.stdin, proc.stdout, proc.stderr) if close_pipes else ():
        if stream is not None:
            try:
                stream.close()
            except OSError:
                pass


def forget(proc):
    """Marks proc as reaped (after its own wait())."""
    with _live_lock:
        _live.pop(proc.pid, None)


def kill_all(close_pipes=True):
    """Kills every child not yet reaped."""
    with _live_lock:
        procs = list(_live.values())
    for proc in procs:
        kill(proc, close_pipes)


class TestCase(unittest.TestCase):
    """Kills the children still alive when a test ends, and the children of
    a test that takes longer than TEST_TIMEOUT (or the class's own
    test_timeout, for a test whose work grows under a sanitizer).  Subclasses
    that define setUp call super().setUp() first."""

    test_timeout = None  # seconds; None: TEST_TIMEOUT

    def setUp(self):
        super().setUp()
        timed_out = threading.Event()
        limit = self.test_timeout or TEST_TIMEOUT

        def expire():
            timed_out.set()
            print(f"\n{self.id()}: still running after {limit:g} s; killing its children",
                  file=sys.stderr, flush=True)
            kill_all(close_pipes=False)  # the test's own threads may be reading them

        watchdog = threading.Timer(limit, expire)
        watchdog.daemon = True
        watchdog.start()
        faulthandler.dump_traceback_later(limit + _GRACE, exit=True)

        def finish():  # the first cleanup registered runs last
            watchdog.cancel()
            faulthandler.cancel_dump_traceback_later()
            kill_all()
            if timed_out.is_set():
                self.fail(f"timed out after {limit:g} s")

        self.addCleanup(finish)
