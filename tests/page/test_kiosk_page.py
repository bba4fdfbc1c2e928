"""The kiosk page of examples/web in a real headless Chromium: opened from
notavero-serve as the kiosk's launcher opens it, with the token in the
address's fragment, it takes bills until the price is paid, and every
stacked bill is acknowledged in the service's journal."""

import json
import pathlib
import tempfile
import unittest

from harness import REPOSITORY, Browser, Service, Simulator, children, free_port, http_get, needs, wait_until

PAGE = """
const text = (id) => document.getElementById(id).textContent;
return {paid: text('paid'), message: text('message'), state: text('state'), address: location.href,
        token_kept: !!sessionStorage.token};
"""


setUpModule = needs("chromium", "chromedriver", packages="chromium and chromium-driver")  # noqa: N816


class KioskPageTest(children.TestCase):
    def test_page_takes_bills_until_paid_and_acknowledges_each(self):
        work = pathlib.Path(self.enterContext(tempfile.TemporaryDirectory(prefix="notavero-kiosk-page-")))
        sim = Simulator()
        self.addCleanup(sim.close)
        service = Service(work / "state", {"kiosk": sim}, www=REPOSITORY / "examples" / "web")
        self.addCleanup(service.stop)
        browser = Browser(work / "profile")
        self.addCleanup(browser.close)

        browser.open(f"{service.url}/kiosk.html?price=150#token={service.token}")
        seen = []

        def page_shows(condition):
            seen.append(browser.script(PAGE))
            return condition(seen[-1])

        # The page enabled acceptance with the token it was handed.
        sim.command("wait-state 14 60000")
        wait_until(lambda: page_shows(lambda p: p["state"].startswith("idling")),
                   lambda: f"the page to show the device idling; it showed {seen[-1]}")
        self.assertNotIn("token", seen[-1]["address"])  # taken out of the address bar
        self.assertTrue(seen[-1]["token_kept"])

        sim.command("insert 4")
        wait_until(lambda: page_shows(lambda p: p["paid"] == "100"), lambda: f"100 paid; the page showed {seen[-1]}")
        sim.command("wait-state 14 60000")
        sim.command("insert 4")
        wait_until(lambda: page_shows(lambda p: p["message"] == "Thank you; change due 50"),
                   lambda: f"the thanks; the page showed {seen[-1]}")
        self.assertEqual(seen[-1]["paid"], "200")

        numbers = sim.numbers()
        self.assertEqual((numbers["stacked"], numbers["stacked_sum"]), (2, 200))
        wait_until(lambda: sim.numbers()["enabled"] == "000000", "the page to turn acceptance off")

        def stacked_rows():
            events = json.loads(http_get(f"{service.url}/v1/events?since=0&limit=100"))
            return [e for e in events["events"] if e["type"] == "stacked"]

        # Both credited bills acknowledged: the service will not offer them again.
        rows = wait_until(lambda: (lambda r: len(r) == 2 and all(e["acked"] for e in r) and r)(stacked_rows()),
                          lambda: f"two acknowledged stacked rows; the journal holds {stacked_rows()}")
        self.assertEqual([e["amount"] for e in rows], [1000000, 1000000])

    def test_page_credits_every_bill_after_the_journal_is_replaced(self):
        # The journal is set aside (as a person does with a damaged one) and
        # the service starts on a new one, whose ids start again: the page,
        # which credited bills up to a higher id of the old journal, must
        # not take the new journal's bills for those.
        work = pathlib.Path(self.enterContext(tempfile.TemporaryDirectory(prefix="notavero-kiosk-page-")))
        sim = Simulator()
        self.addCleanup(sim.close)
        port = free_port()  # one origin for both runs: the page's storage stays
        service = Service(work / "state", {"kiosk": sim}, port, www=REPOSITORY / "examples" / "web")
        self.addCleanup(lambda: service.stop())
        browser = Browser(work / "profile")
        self.addCleanup(browser.close)
        seen = []

        def page_shows(condition):
            seen.append(browser.script(PAGE))
            return condition(seen[-1])

        def pay(bills):  # a new load of the page (a new customer), then the bills
            pay.visits = getattr(pay, "visits", 0) + 1
            browser.open(f"{service.url}/kiosk.html?price=1000&visit={pay.visits}#token={service.token}")
            for n in range(1, bills + 1):
                sim.command("wait-state 14 60000")
                sim.command("insert 4")
                wait_until(lambda: page_shows(lambda p: p["paid"] == str(100 * n)),
                           lambda: f"{100 * n} paid; the page showed {seen[-1]}")

        pay(3)
        service.stop()
        journal = work / "state" / "journal.sqlite"
        for suffix in ("", "-wal", "-shm"):
            if pathlib.Path(f"{journal}{suffix}").exists():
                pathlib.Path(f"{journal}{suffix}").rename(work / f"old-journal.sqlite{suffix}")
        service = Service(work / "state", {"kiosk": sim}, port, www=REPOSITORY / "examples" / "web")
        pay(2)
        self.assertEqual(sim.numbers()["stacked_sum"], 500)

    def test_page_says_what_the_validator_can_do_and_outlives_a_service_restart(self):
        work = pathlib.Path(self.enterContext(tempfile.TemporaryDirectory(prefix="notavero-kiosk-page-")))
        link = work / "validator"
        sim = Simulator("--link", str(link))
        self.addCleanup(sim.close)
        sim.path = str(link)  # the service opens the line by the link, which survives an unplug
        port = free_port()
        services = [Service(work / "state", {"kiosk": sim}, port, www=REPOSITORY / "examples" / "web")]
        self.addCleanup(lambda: services[-1].stop())
        browser = Browser(work / "profile")
        self.addCleanup(browser.close)
        seen = []

        def shows(what, condition):
            wait_until(lambda: (seen.append(browser.script(PAGE)) or condition(seen[-1])),
                       lambda: f"the page to show {what}; it showed {seen[-1]}")

        browser.open(f"{services[-1].url}/kiosk.html?price=300#token={services[-1].token}")
        # The state comes with the hello: no "?" until something changes.
        shows("the validator idling", lambda p: p["state"] == "idling" and p["message"] == "Insert a bill")
        sim.command("insert 4")
        shows("100 paid", lambda p: p["paid"] == "100")

        sim.command("jam")
        shows("the jam in plain words", lambda p: "cannot take bills" in p["message"])
        sim.command("clear")
        shows("the jam cleared", lambda p: p["message"] == "Insert a bill")

        # The service restarts: the page waits, connects again and goes on.
        services[-1].stop()
        shows("that it reconnects", lambda p: p["message"].startswith("Reconnecting"))
        services.append(Service(work / "state", {"kiosk": sim}, port, www=REPOSITORY / "examples" / "web"))
        shows("the validator again", lambda p: p["message"] == "Insert a bill")
        sim.command("wait-state 14 60000")
        sim.command("insert 4")
        shows("200 paid", lambda p: p["paid"] == "200")

        # The line is pulled: the customer is told, and it comes back.
        sim.command("unplug")
        shows("the validator unavailable", lambda p: "not available" in p["message"])
        sim.command("replug")
        shows("the validator back", lambda p: p["message"] == "Insert a bill")
        sim.command("insert 4")
        shows("the thanks", lambda p: p["message"] == "Thank you; change due 0")
        self.assertEqual(seen[-1]["paid"], "300")
        self.assertEqual(sim.numbers()["stacked_sum"], 300)


if __name__ == "__main__":
    unittest.main()
