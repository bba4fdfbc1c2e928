"""The package follows the device: states, events, the link and counters,
against the simulator opened by a stable link path."""

import asyncio
import os
import tempfile
import threading
import unittest
from decimal import Decimal

import notavero
from notavero import EventKind, Link, State
from notavero import _library

from . import children
from .support import TIMEOUT, Simulator, private_log, private_log_end

BILL_100, BILL_500 = 4, 5  # types of the simulator's table
UNLISTED = 0  # no value in the table, never enabled: the device rejects it


setUpModule = private_log  # noqa: N816  (the names unittest looks for)
tearDownModule = private_log_end  # noqa: N816


def until(stream, done):
    """The events of stream up to and including the first that done()
    accepts; fails when the stream ends first."""
    taken = []
    for event in stream:
        taken.append(event)
        if done(event):
            return taken
    raise AssertionError(f"the stream ended before the awaited event; it gave {taken}")


def is_state(state):
    return lambda event: event.kind == EventKind.STATE and event.state == state


class DeviceTestCase(children.TestCase):
    def setUp(self):
        super().setUp()
        directory = tempfile.TemporaryDirectory()
        self.addCleanup(directory.cleanup)
        self.link = os.path.join(directory.name, "validator")
        self.sim = Simulator("--link", self.link)
        self.addCleanup(self.sim.close)

    def open(self, **callbacks):
        driver = notavero.Driver(device=self.link, **callbacks)
        self.addCleanup(driver.close)
        return driver

    def accepting(self, driver):
        driver.wait_for_state(State.DISABLED, timeout=TIMEOUT)  # the bill table is read
        driver.enabled = True
        return driver.wait_for_state(State.IDLING, timeout=TIMEOUT)

    def insert(self, driver, bill_type):
        """Inserts a bill; returns the events up to the device's next idling."""
        with driver.events(timeout=TIMEOUT) as stream:
            self.sim.command(f"insert {bill_type}")
            taken = until(stream, lambda e: e.kind in (EventKind.BILL_STACKED, EventKind.BILL_RETURNED,
                                                       EventKind.REJECTED))
            return taken + until(stream, is_state(State.IDLING))


class EventsTest(DeviceTestCase):
    def test_banknote_road_and_a_rejection(self):
        heard = []

        def on_event(event):
            heard.append(event)
            if event.kind == EventKind.ESCROW:
                raise RuntimeError("display offline")

        driver = self.open(on_escrow=lambda amount: True, on_event=on_event)
        idling = self.accepting(driver)
        self.assertEqual((idling.state, idling.name, idling.text), (State.IDLING, "idling", notavero.State.IDLING.text))
        self.assertEqual(driver.state, idling)
        self.assertEqual(driver.link, Link.ONLINE)
        self.assertTrue(driver.enabled)
        self.assertEqual(heard[0], notavero.Event(EventKind.LINK, Link.ONLINE), "the first answer brings the link up")

        with self.assertLogs("notavero", "ERROR") as logged:
            road = self.insert(driver, BILL_100)
        self.assertIn("on_event raised", logged.output[0])
        steps = [(e.kind, e.state, e.amount) for e in road
                 if e.kind != EventKind.STATE or e.state in (State.ESCROW, State.STACKED, State.IDLING)]
        self.assertEqual(steps, [
            (EventKind.STATE, State.ESCROW, None),
            (EventKind.ESCROW, None, Decimal(100)),
            (EventKind.STATE, State.STACKED, None),
            (EventKind.BILL_STACKED, None, Decimal(100)),
            (EventKind.STATE, State.IDLING, None),
        ])
        self.assertEqual([e.bill_type for e in road if e.kind in (EventKind.ESCROW, EventKind.BILL_STACKED)],
                         [BILL_100, BILL_100], "the bill events carry the bill's type")
        escrow = next(e for e in road if e.state == State.ESCROW)
        self.assertEqual((escrow.sub_code, escrow.name), (BILL_100, "escrow"))  # escrow names the bill type
        self.assertEqual(heard[-len(road):], road, "on_event hears what the stream hears, in order")

        rejection = self.insert(driver, UNLISTED)
        rejecting = [e for e in rejection if e.kind == EventKind.STATE and e.state == State.REJECTING]
        rejected = [e for e in rejection if e.kind == EventKind.REJECTED]
        self.assertEqual(len(rejecting), 1)
        self.assertEqual(len(rejected), 1, "one event per rejection however many polls show it")
        self.assertEqual(rejected[0].code, rejecting[0].sub_code)
        self.assertEqual(rejected[0].name, "inhibited denomination")
        self.assertEqual(driver.counters.rejected, 1)
        self.assertEqual(driver.state.text, notavero.State.IDLING.text)

    def test_pulled_line_comes_back_accepting_and_credits(self):
        stacked = []
        driver = self.open(on_escrow=lambda amount: True, on_stacked=stacked.append)
        self.accepting(driver)
        with driver.events(timeout=TIMEOUT) as stream:
            self.sim.command("unplug")
            driver.wait_for_event(EventKind.LINK, lambda e: e.link == Link.PORT_LOST, TIMEOUT, stream)
            self.assertEqual(driver.link, Link.PORT_LOST)
            self.sim.command("replug")
            driver.wait_for_event(EventKind.LINK, lambda e: e.link == Link.ONLINE, TIMEOUT, stream)
            # The device kept its power: its table holds, the host's request
            # stands, and the state is told again after the reopen.
            driver.wait_for_event(EventKind.STATE, lambda e: e.state == State.IDLING, TIMEOUT, stream)
        self.assertTrue(driver.enabled)
        road = self.insert(driver, BILL_500)
        self.assertIn(notavero.Event(EventKind.BILL_STACKED, 0, Decimal(500)), road)
        self.assertEqual(stacked, [Decimal(500)])
        counters = driver.counters
        self.assertEqual((counters.reconnects, counters.amount), (1, Decimal(500)))
        self.assertEqual(self.sim.status()["stacked_sum"], "500")

    def test_counters_match_the_simulator(self):
        answers = iter([True, False, True, True, False])
        driver = self.open(on_escrow=lambda amount: next(answers))
        self.accepting(driver)
        for bill_type in (2, 3, 4, 7, 4):  # 10, 50, 100, 5000, 100
            self.insert(driver, bill_type)
        device = self.sim.status()
        stacked = [0] * 24
        for entry in device["stacked_types"].split(","):
            bill_type, count = entry.split(":")
            stacked[int(bill_type)] = int(count)

        counters = driver.counters
        self.assertEqual(counters.stacked, tuple(stacked))
        self.assertEqual(counters.amount, Decimal(device["stacked_sum"]))
        self.assertEqual(counters.stacked_amount, int(device["stacked_sum"]) * 10000)
        self.assertEqual(counters.returned, int(device["returned"]))
        self.assertEqual((counters.amount, counters.returned), (Decimal(5110), 2))
        self.assertEqual((counters.power_ups, counters.rejected, counters.unconfirmed), (1, 0, 0))
        self.assertGreaterEqual(counters.last_answer_ms, 0)

    def test_asyncio_iteration_ends_when_the_driver_closes(self):
        driver = self.open(on_escrow=lambda amount: True)
        driver.wait_for_state(State.DISABLED, timeout=TIMEOUT)

        async def follow():
            loop_thread = threading.get_ident()
            seen, threads, inserted = [], set(), False
            events = driver.aevents(timeout=TIMEOUT)
            driver.enabled = True
            async for event in events:
                seen.append(event)
                threads.add(threading.get_ident())
                if event == notavero.Event(EventKind.STATE, State.IDLING) and not inserted:
                    self.sim.command(f"insert {BILL_100}")
                    inserted = True
                if event.kind == EventKind.BILL_STACKED:
                    driver.close()  # the iteration ends by itself
            return seen, threads == {loop_thread}

        seen, on_loop_thread = asyncio.run(asyncio.wait_for(follow(), 2 * TIMEOUT))
        self.assertTrue(on_loop_thread)
        self.assertTrue(driver.closed)
        kinds = [e.kind for e in seen]
        # Events already on their way when close() was called may still come
        # before the end; the stacked bill is among them, after its escrow.
        self.assertIn(EventKind.BILL_STACKED, kinds)
        self.assertLess(kinds.index(EventKind.ESCROW), kinds.index(EventKind.BILL_STACKED))


class NamesTest(unittest.TestCase):
    def test_every_state_the_driver_names_is_listed(self):
        lib = _library.library()
        named = {word for word in range(256) if lib.nv_state_name(word) != b"unknown"}
        self.assertEqual(named, {int(state) for state in State})
        unknown = State(0x99)
        self.assertEqual((unknown, unknown.name), (0x99, "UNKNOWN_99"))
        self.assertEqual(notavero.DeviceState(0x6841).state, State.STACKER_FULL)
        self.assertEqual(notavero.DeviceState(0x6841).name, "stacker full")
        self.assertEqual([link.description for link in Link], ["unknown", "online", "no answer", "port lost"])

    def test_open_by_device_path(self):
        with self.assertRaisesRegex(notavero.DriverError, "/nonexistent/ttyUSB9"):
            notavero.Driver(device="/nonexistent/ttyUSB9")
        for arguments in ({}, {"port": 7, "device": "/dev/ttyS6"}, {"device": ""}):
            with self.subTest(arguments=arguments), self.assertRaises(ValueError):
                notavero.Driver(**arguments)


if __name__ == "__main__":
    unittest.main()
