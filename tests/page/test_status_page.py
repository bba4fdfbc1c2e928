"""The status page in a real headless Chromium: notavero-serve on two
simulators, the page opened from the service, the token typed in, bills
taken by a front end with the token, the page read back from its DOM."""

import os
import pathlib
import re
import tempfile
import unittest

from harness import Browser, Decider, Service, Simulator, children, needs, wait_until

SCREENSHOT = os.environ.get("NOTAVERO_SCREENSHOT")

# What the page shows, read from its DOM.
SNAPSHOT = """
if (!document.getElementById('connection')) return {loading: document.documentElement.outerHTML.slice(0, 300)};
const text = (root, css) => root.querySelector(css).textContent.trim();
const cards = {};
for (const card of document.querySelectorAll('.card')) {
  cards[card.dataset.device] = {
    state: text(card, '.state-name'), text: text(card, '.state-text'), link: text(card, '.link'),
    acceptance: text(card, '.acceptance'), rejected: text(card, '.rejected'),
    count: text(card, '.total-count'), amount: text(card, '.total-amount'),
    stale: card.classList.contains('stale'), severity: card.dataset.severity,
    enable_disabled: card.querySelector('.enable').disabled,
    by_value: Object.fromEntries([...card.querySelectorAll('.by-value tr')].map(
        tr => [tr.dataset.value, tr.children[1].textContent])),
    box: (({left, top, right, bottom}) => ({left, top, right, bottom}))(card.getBoundingClientRect()),
  };
}
return {
  connection: document.getElementById('connection').dataset.state,
  token_note: document.getElementById('token-note').textContent,
  cards,
  events: [...document.querySelectorAll('#events li')].map(
      li => text(li, '.event-device') + ' ' + text(li, '.event-text')),
  overflow: document.documentElement.scrollWidth - document.documentElement.clientWidth,
};
"""


def plain(text):
    return re.sub(r"\s", "", text)


setUpModule = needs("chromium", "chromedriver", packages="chromium and chromium-driver")  # noqa: N816


class StatusPageTest(children.TestCase):
    def setUp(self):
        super().setUp()
        self.dir = pathlib.Path(self.enterContext(tempfile.TemporaryDirectory(prefix="notavero-page-")))
        self.sims = {"left": Simulator(), "right": Simulator()}
        for sim in self.sims.values():
            self.addCleanup(sim.close)
        self.service = Service(self.dir / "state", self.sims)
        self.addCleanup(lambda: self.service.stop())
        self.browser = Browser(self.dir / "profile", 1200, 1000)
        self.addCleanup(self.browser.close)

    def page(self):
        return self.browser.script(SNAPSHOT)

    def wait_page(self, condition, what):
        """Waits until condition holds for the page; returns the page then."""
        seen = []

        def holds():
            seen.append(self.page())
            return "loading" not in seen[-1] and condition(seen[-1]) and seen[-1]

        return wait_until(holds, lambda: f"{what}; the page showed: {seen[-1]}")

    def test_page_follows_the_validators_and_drives_them_with_the_token(self):
        browser = self.browser
        browser.open(self.service.url + "/")

        # The simulators' state, in English and in Russian; no token: no buttons.
        page = self.wait_page(lambda p: all(p["cards"].get(name, {}).get("state") == "disabled"
                                            for name in self.sims), "both cards to show the disabled state")
        self.assertEqual(self.sims["left"].status()["state"], "19")
        for name in self.sims:
            self.assertEqual(page["cards"][name]["text"], "Выключен")
            self.assertEqual(page["cards"][name]["link"], "online")
            self.assertEqual(page["cards"][name]["acceptance"], "acceptance off")
            self.assertTrue(page["cards"][name]["enable_disabled"])
        self.assertEqual(page["connection"], "live")

        # A wrong token is refused and forgotten; the right one enables the left validator only.
        browser.type("#token-input", "not-the-token")
        browser.click("#token-save")
        browser.click('.card[data-device="left"] .enable')
        self.wait_page(lambda p: "refused" in p["token_note"] and p["cards"]["left"]["enable_disabled"],
                       "the wrong token to be refused and dropped")
        browser.type("#token-input", self.service.token)
        browser.click("#token-save")
        browser.click('.card[data-device="left"] .enable')
        self.wait_page(lambda p: p["cards"]["left"]["state"] == "idling" and
                       p["cards"]["left"]["acceptance"] == "acceptance on", "the left validator to accept")
        self.assertEqual(self.sims["left"].status()["state"], "14")
        self.assertEqual(self.page()["cards"]["right"]["acceptance"], "acceptance off")

        # Bills taken by a front end show up live: events and counters by value.
        decider = Decider(self.service.port, self.service.token)
        self.addCleanup(decider.close)
        first = decider.take(self.sims["left"], "left", 4)
        self.assertEqual(first["amount"], 1000000)
        page = self.wait_page(lambda p: p["cards"]["left"]["by_value"] == {"100": "1"},
                              "100 stacked once in the left card")
        events = [event.replace("\xa0", " ") for event in page["events"]]
        self.assertIn("left Stacked 100 ₽", events)
        self.assertIn("left Escrow 100 ₽ → stack (client)", events)
        decider.take(self.sims["left"], "left", 5)
        decider.take(self.sims["left"], "left", 4)
        decider.reject(self.sims["left"], "left", 0)
        page = self.wait_page(lambda p: p["cards"]["left"]["rejected"] == "1" and
                              p["cards"]["left"]["by_value"] == {"100": "2", "500": "1"},
                              "two 100s, a 500 and a rejection in the left card")
        left = page["cards"]["left"]
        self.assertEqual((left["count"], plain(left["amount"])), ("3", "700₽"))
        self.assertEqual(page["cards"]["right"]["by_value"], {})
        self.assertEqual(plain(page["cards"]["right"]["amount"]), "0₽")
        kinds = [event.split(" ")[1] for event in page["events"]]
        self.assertEqual(kinds.count("Stacked"), 3, page["events"])
        self.assertEqual(kinds.count("Rejected:"), 1, page["events"])
        self.assertEqual(self.sims["left"].status()["stacked"], "3")

        # The picture for the README, on a wide screen.
        self.wait_page(lambda p: p["cards"]["left"]["state"] == "idling", "the left validator to idle again")
        shot = browser.screenshot()
        self.assertEqual(shot[:8], b"\x89PNG\r\n\x1a\n")
        if SCREENSHOT:
            pathlib.Path(SCREENSHOT).write_bytes(shot)

        # Disable from the page.
        browser.click('.card[data-device="left"] .disable')
        self.wait_page(lambda p: p["cards"]["left"]["state"] == "disabled" and
                       p["cards"]["left"]["acceptance"] == "acceptance off", "the left validator to stop")

        # Side by side on a wide screen, one above the other on a phone, never wider than it.
        page = self.page()
        self.assertEqual(page["cards"]["left"]["box"]["top"], page["cards"]["right"]["box"]["top"])
        browser.resize(390, 844)
        page = self.wait_page(lambda p: p["cards"]["right"]["box"]["top"] >= p["cards"]["left"]["box"]["bottom"],
                              "the cards to stack on a phone's width")
        self.assertLessEqual(page["overflow"], 0)
        if SCREENSHOT:
            pathlib.Path(SCREENSHOT).with_suffix(".phone.png").write_bytes(browser.screenshot())

        # A validator that stops answering turns its card red, whatever state
        # it last reported, and back when it answers again.
        self.sims["right"].command("silent 12")
        self.wait_page(lambda p: p["cards"]["right"]["link"] == "link: no answer" and
                       p["cards"]["right"]["severity"] == "fault", "the right card to turn red")
        self.wait_page(lambda p: p["cards"]["right"]["link"] == "online" and
                       p["cards"]["right"]["severity"] != "fault", "the right card back")

        # The service goes away and comes back: the page reconnects by itself.
        self.service.stop()
        self.wait_page(lambda p: p["connection"] == "offline" and p["cards"]["left"]["stale"],
                       "the page to notice the service is gone")
        self.service = Service(self.dir / "state", self.sims, self.service.port)
        self.wait_page(lambda p: p["connection"] == "live" and not p["cards"]["left"]["stale"],
                       "the page to reconnect")


if __name__ == "__main__":
    unittest.main()
