"""The README's kiosk example, run as a customer would pay."""

import os
import pathlib
import subprocess
import sys
import tempfile
import unittest

from . import children
from .support import TIMEOUT, Simulator, child_environment

EXAMPLE = pathlib.Path(__file__).resolve().parents[1] / "examples" / "kiosk.py"


class KioskTest(children.TestCase):
    def test_takes_bills_until_the_price_is_paid(self):
        sim = Simulator()
        self.addCleanup(sim.close)
        log_dir = tempfile.TemporaryDirectory()
        self.addCleanup(log_dir.cleanup)
        env = child_environment()
        env.update(NOTAVERO_COM7=sim.path, NOTAVERO_LOG=os.path.join(log_dir.name, "Notavero.log"),
                   PYTHONPATH=os.pathsep.join(filter(None, [str(EXAMPLE.parents[1]), env.get("PYTHONPATH")])))
        if "NOTAVERO_TEST_PRELOAD" in os.environ:
            env["LD_PRELOAD"] = os.environ["NOTAVERO_TEST_PRELOAD"]
        kiosk = children.popen([sys.executable, str(EXAMPLE), "150", "7"], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, env=env)
        try:
            # The simulator inserts each bill once the device waits for one.
            sim.command("wait-state 14")
            sim.command("insert 4")
            self.assertEqual(kiosk.stdout.readline(), "paid 100 of 150\n")
            sim.command("wait-state 14")
            sim.command("insert 4")
            out, err = kiosk.communicate(timeout=TIMEOUT)
        finally:
            if kiosk.poll() is None:
                kiosk.kill()
                kiosk.communicate()
        self.assertEqual(kiosk.returncode, 0, err)
        self.assertEqual(out, "paid 200 of 150\nthank you; change due 50\n")
        status = sim.status()
        self.assertEqual((status["stacked"], status["stacked_sum"]), ("2", "200"))
        self.assertEqual(status["enabled"], "000000")  # left disabled


if __name__ == "__main__":
    unittest.main()
