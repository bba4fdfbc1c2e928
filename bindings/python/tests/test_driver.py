"""The package against the simulator: a real driver on a pseudo-terminal."""

import contextlib
import decimal
import os
import subprocess
import sys
import tempfile
import threading
import unittest
from decimal import Decimal

import notavero

from . import children
from .support import TIMEOUT, Output, Simulator, child_environment, private_log, private_log_end

PORT = 7
BILL_100 = 4  # type 4 of the simulator's table: 100 RUS


setUpModule = private_log  # noqa: N816  (the names unittest looks for)
tearDownModule = private_log_end  # noqa: N816


class Bills:
    """Callbacks that record what the driver reported."""

    def __init__(self, answer=True):
        self.answer = answer
        self.escrow, self.stacked, self.returned = [], [], []
        self.settled = threading.Event()  # a bill was stacked or returned

    def on_escrow(self, amount):
        self.escrow.append(amount)
        return self.answer(amount) if callable(self.answer) else self.answer

    def on_stacked(self, amount):
        self.stacked.append(amount)
        self.settled.set()

    def on_returned(self, amount):
        self.returned.append(amount)
        self.settled.set()

    def callbacks(self):
        return dict(on_escrow=self.on_escrow, on_stacked=self.on_stacked, on_returned=self.on_returned)


class SimulatorTestCase(children.TestCase):
    def setUp(self):
        super().setUp()
        self.sim = Simulator()
        self.addCleanup(self.sim.close)
        os.environ[f"NOTAVERO_COM{PORT}"] = self.sim.path

    def open(self, **callbacks):
        driver = notavero.Driver(PORT, **callbacks)
        self.addCleanup(driver.close)
        return driver

    def accepting(self, driver):
        """Enables the driver once it has read the bill table; waits until
        the device takes bills."""
        driver.wait_for_status(notavero.State.DISABLED, timeout=TIMEOUT)
        driver.enabled = True
        driver.wait_for_status(notavero.State.IDLING, timeout=TIMEOUT)

    def insert(self, bills, bill_type=BILL_100):
        bills.settled.clear()
        self.sim.command(f"insert {bill_type}")
        self.assertTrue(bills.settled.wait(TIMEOUT), "the bill was neither stacked nor returned")


class HostOperationsTest(SimulatorTestCase):
    def test_version(self):
        driver = self.open()
        self.assertEqual(driver.version, "v1.0#Notavero")

    def test_status_follows_enable_and_disable(self):
        driver = self.open()
        self.assertEqual(driver.wait_for_status(notavero.State.DISABLED.text, timeout=TIMEOUT), "Выключен")
        self.assertIsNone(driver.enabled)
        driver.enabled = True
        self.assertEqual(driver.wait_for_status(notavero.State.IDLING.text, timeout=TIMEOUT),
                         "Ожидается вставка купюры")
        self.assertTrue(driver.enabled)
        self.assertEqual(self.sim.status()["enabled"], "0000FC")  # 10 to 5000 roubles
        driver.disable()
        driver.wait_for_status(notavero.State.DISABLED.text, timeout=TIMEOUT)
        self.assertFalse(driver.enabled)
        self.assertEqual(self.sim.status()["enabled"], "000000")

    def test_wait_for_status_times_out_naming_the_state(self):
        driver = self.open()
        driver.wait_for_status(notavero.State.DISABLED.text, timeout=TIMEOUT)
        with self.assertRaisesRegex(TimeoutError, "Выключен"):
            driver.wait_for_status(notavero.State.IDLING.text, timeout=0.2)

    def test_log_file_written_in_windows_1251(self):
        driver = self.open()
        driver.wait_for_status(notavero.State.DISABLED.text, timeout=TIMEOUT)
        driver.close()
        with open(os.environ["NOTAVERO_LOG"], "rb") as log:
            content = log.read()
        self.assertIn("Состояние: 19-00. Выключен".encode("cp1251"), content)


class BillTest(SimulatorTestCase):
    def test_stacked_bill_is_credited_in_currency_units(self):
        bills = Bills(answer=True)
        driver = self.open(**bills.callbacks())
        self.accepting(driver)
        self.insert(bills)
        self.assertEqual(bills.escrow, [Decimal("100")])
        self.assertIsInstance(bills.escrow[0], Decimal)
        self.assertEqual(bills.stacked, [Decimal("100")])
        self.assertEqual(bills.returned, [])
        status = self.sim.status()
        self.assertEqual((status["stacked"], status["returned"]), ("1", "0"))

    def test_declined_bill_is_returned(self):
        bills = Bills(answer=False)
        driver = self.open(**bills.callbacks())
        self.accepting(driver)
        self.insert(bills, bill_type=7)  # 5000
        self.assertEqual(bills.escrow, [Decimal("5000")])
        self.assertEqual(bills.returned, [Decimal("5000")])
        self.assertEqual(bills.stacked, [])
        self.assertEqual(self.sim.status()["returned"], "1")

    def test_without_on_escrow_every_bill_is_returned(self):
        bills = Bills()
        driver = self.open(on_stacked=bills.on_stacked, on_returned=bills.on_returned)
        self.accepting(driver)
        self.insert(bills)
        self.assertEqual(bills.returned, [Decimal("100")])
        self.assertEqual(bills.stacked, [])

    def test_raising_escrow_returns_the_bill_and_the_driver_goes_on(self):
        answers = iter([ValueError("host failure"), True])

        def answer(amount):
            reply = next(answers)
            if isinstance(reply, Exception):
                raise reply
            return reply

        bills = Bills(answer=answer)
        driver = self.open(**bills.callbacks())
        self.accepting(driver)
        with self.assertLogs("notavero", "ERROR") as logged:
            self.insert(bills)
        self.assertEqual(bills.returned, [Decimal("100")])
        self.assertEqual(bills.stacked, [])
        self.assertIn("on_escrow raised; the bill is returned", logged.output[0])
        self.assertIn("ValueError: host failure", logged.output[0])

        driver.wait_for_status(notavero.State.IDLING.text, timeout=TIMEOUT)
        self.insert(bills)
        self.assertEqual(bills.stacked, [Decimal("100")])

    def test_raising_on_stacked_is_logged_and_the_bill_stays_stacked(self):
        settled = threading.Event()

        def on_stacked(amount):
            settled.set()
            raise RuntimeError("printer offline")

        driver = self.open(on_escrow=lambda amount: True, on_stacked=on_stacked)
        self.accepting(driver)
        with self.assertLogs("notavero", "ERROR") as logged:
            self.sim.command(f"insert {BILL_100}")
            self.assertTrue(settled.wait(TIMEOUT))
            driver.wait_for_status(notavero.State.IDLING.text, timeout=TIMEOUT)
        self.assertIn("on_stacked raised", logged.output[0])
        self.assertEqual(self.sim.status()["stacked"], "1")

    def test_close_inside_a_callback_is_refused(self):
        errors = []
        bills = Bills()

        def on_escrow(amount):
            try:
                driver.close()
            except RuntimeError as error:
                errors.append(error)
            return True

        driver = self.open(on_escrow=on_escrow, on_stacked=bills.on_stacked, on_returned=bills.on_returned)
        self.accepting(driver)
        self.insert(bills)
        self.assertEqual(len(errors), 1)
        self.assertEqual(bills.stacked, [Decimal("100")])
        self.assertFalse(driver.closed)


class LifeTest(SimulatorTestCase):
    def test_open_failure_carries_the_drivers_message(self):
        path = os.path.join(tempfile.gettempdir(), "no-such-notavero-port")
        os.environ["NOTAVERO_COM9"] = path
        self.addCleanup(os.environ.pop, "NOTAVERO_COM9")
        with self.assertRaises(notavero.DriverError) as caught:
            notavero.Driver(9)
        # The port, then the device and the system's reason.
        self.assertEqual(str(caught.exception), f"Невозможно открыть COM9 ({path}: No such file or directory)")

    def test_port_out_of_range(self):
        for port in (-1, 256, "7", 7.0, True):
            with self.subTest(port=port), self.assertRaises(ValueError):
                notavero.Driver(port)

    def test_context_manager_stops_the_driver(self):
        with notavero.Driver(PORT) as driver:
            driver.wait_for_status(notavero.State.DISABLED.text, timeout=TIMEOUT)
        self.assertTrue(driver.closed)
        with self.assertRaisesRegex(notavero.DriverError, "closed"):
            driver.status
        with self.assertRaises(notavero.DriverError):
            driver.enabled = True
        with notavero.Driver(PORT) as again:
            self.assertEqual(again.wait_for_status(notavero.State.DISABLED.text, timeout=TIMEOUT), "Выключен")

    def test_close_twice(self):
        driver = notavero.Driver(PORT)
        driver.close()
        driver.close()
        self.assertTrue(driver.closed)
        self.assertIn("closed", repr(driver))

    def test_collected_driver_releases_the_port(self):
        driver = notavero.Driver(PORT)
        finalizer = driver._finalizer
        del driver  # nothing else holds it (the callback does not): freed at once
        self.assertFalse(finalizer.alive)
        with notavero.Driver(PORT) as again:
            again.wait_for_status(notavero.State.DISABLED.text, timeout=TIMEOUT)

    def test_interpreter_exit_stops_a_running_driver(self):
        # A driver left open while a callback is called at exit: the process
        # must end on its own, cleanly.
        script = (
            "import sys, threading, notavero\n"
            "called = threading.Event()\n"
            "def escrow(amount):\n"
            "    called.set()\n"
            "    return True\n"
            f"d = notavero.Driver({PORT}, on_escrow=escrow)\n"
            f"d.wait_for_status(notavero.State.DISABLED.text, timeout={TIMEOUT})\n"
            "d.enabled = True\n"
            f"d.wait_for_status(notavero.State.IDLING.text, timeout={TIMEOUT})\n"
            "print('ready', flush=True)\n"
            f"called.wait({TIMEOUT})\n"
            "print('escrow', flush=True)\n"
        )
        env = child_environment()
        env["PYTHONPATH"] = os.pathsep.join(p for p in (os.path.dirname(os.path.dirname(notavero.__file__)),
                                                        env.get("PYTHONPATH")) if p)
        if "NOTAVERO_TEST_PRELOAD" in os.environ:
            env["LD_PRELOAD"] = os.environ["NOTAVERO_TEST_PRELOAD"]
        child = children.popen([sys.executable, "-c", script], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, env=env)
        out, err = Output(child.stdout), Output(child.stderr)

        def seen():
            if out.ended() and child.poll() is None:  # it is ending: its status tells how
                with contextlib.suppress(subprocess.TimeoutExpired):
                    child.wait(timeout=TIMEOUT)
            return (f"the child's exit status: {child.poll()}; its stdout:\n{out.so_far()}"
                    f"\nits stderr:\n{err.so_far()}")

        try:
            # Its own waits fail first, with the state they saw, on its stderr.
            try:
                out.wait_for("ready\n", timeout=3 * TIMEOUT)
            except AssertionError:
                self.fail("the child never printed 'ready'; " + seen())
            self.sim.command(f"insert {BILL_100}")
            try:
                returncode = child.wait(timeout=2 * TIMEOUT)
            except subprocess.TimeoutExpired:
                self.fail(f"the child did not end within {2 * TIMEOUT:g} s of the escrow; " + seen())
        finally:
            children.kill(child, close_pipes=False)  # its group, and reaps it
        self.assertEqual(returncode, 0, seen())
        self.assertEqual(out.all(), "ready\nescrow\n", seen())
        self.assertNotIn("Traceback", err.all(), seen())
        for stream in (child.stdout, child.stderr):
            stream.close()


class AmountTest(unittest.TestCase):
    def test_units_to_currency(self):
        cases = {100000: "10", 1000000: "100", 50000000: "5000", 15000: "1.5", 1: "0.0001", 0: "0",
                 -25000: "-2.5", 2**63 - 1: "922337203685477.5807"}
        for units, text in cases.items():
            with self.subTest(units=units):
                self.assertEqual(notavero.to_amount(units), Decimal(text))

    def test_independent_of_the_threads_context(self):
        with decimal.localcontext(decimal.Context(prec=2)):
            self.assertEqual(notavero.to_amount(12345678), Decimal("1234.5678"))


if __name__ == "__main__":
    unittest.main()
