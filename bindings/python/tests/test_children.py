"""No simulator outlives the test that started it: tests that go wrong run in
another interpreter, whose output is read to its end as CTest reads a
test's, and the simulator each started must be gone."""

import os
import pathlib
import select
import signal
import subprocess
import sys
import unittest

from . import children
from .support import TIMEOUT, child_environment

# Each case starts a simulator, prints its pid and then goes wrong.
SCRIPT = """
import os, signal, sys, unittest
from tests import children
from tests.support import Simulator

def start():
    sim = Simulator()  # and no cleanup of its own: only children.TestCase stops it
    print("sim", sim.pid, flush=True)
    return sim

class GoesWrong(children.TestCase):
    def test_helper_fails(self):
        start().command(None)  # the helper raises a TypeError

    def test_hangs(self):
        start()._process.wait()  # the simulator serves until it is killed

if sys.argv[1] == "dies":  # as on a sanitizer's abort or CTest's kill
    start()
    os.kill(os.getpid(), signal.SIGKILL)
unittest.main(argv=["goes-wrong", "GoesWrong." + sys.argv[1]])
"""


class NoChildOutlivesItsTest(children.TestCase):
    def run_case(self, case):
        """Runs a case; returns its exit status, stderr and the pidfd of the
        simulator it started."""
        env = child_environment()
        env["PYTHONPATH"] = str(pathlib.Path(__file__).resolve().parents[1])
        if case == "test_hangs":
            env["NOTAVERO_TEST_TIMEOUT"] = "5"  # well after the simulator has started
        child = children.popen([sys.executable, "-c", SCRIPT, case], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, env=env)
        self.addCleanup(children.kill, child)
        line = child.stdout.readline()
        self.assertRegex(line, r"^sim \d+$")
        try:
            sim = os.pidfd_open(int(line.split()[1]))
        except ProcessLookupError:
            sim = None  # gone and reaped already
        else:
            self.addCleanup(os.close, sim)
            # Should it survive, the test must not leave it either.
            self.addCleanup(lambda: select.select([sim], [], [], 0)[0] or signal.pidfd_send_signal(sim, 9))
        try:
            # A simulator left running would hold stderr open: no end of output.
            _, err = child.communicate(timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            self.fail(f"case {case}: the output did not end")
        children.forget(child)
        if sim is not None:
            ready, _, _ = select.select([sim], [], [], TIMEOUT)
            self.assertTrue(ready, f"case {case}: the simulator is still running")
        return child.returncode, err

    def test_a_helper_that_raises(self):
        status, err = self.run_case("test_helper_fails")
        self.assertEqual(status, 1)
        self.assertIn("TypeError", err)

    def test_a_test_that_hangs_is_stopped_and_fails(self):
        status, err = self.run_case("test_hangs")
        self.assertEqual(status, 1)
        self.assertIn("still running after 5 s; killing its children", err)
        self.assertIn("AssertionError: timed out after 5 s", err)

    def test_an_interpreter_that_dies(self):
        if not children.DIES_WITH_PARENT:
            self.skipTest("no setpriv to tie the children to the test process")
        status, _ = self.run_case("dies")
        self.assertEqual(status, -signal.SIGKILL)


if __name__ == "__main__":
    unittest.main()
