"""notavero-serve scraped by a real Prometheus: bills go through the
simulator, and Prometheus's own query API shows them; the example alert
rules load in Prometheus and fire in promtool's rule tests when they
should."""

import json
import pathlib
import subprocess
import tempfile
import unittest
import urllib.parse

from harness import (LONG, REPOSITORY, Decider, Service, Simulator, children, child_environment, free_port,
                     http_get, needs, wait_until)

HERE = pathlib.Path(__file__).resolve().parent
RULES = REPOSITORY / "docs" / "notavero-alerts.yml"


setUpModule = needs("prometheus", "promtool", packages="prometheus")  # noqa: N816


class AlertRulesTest(unittest.TestCase):
    def test_rules_are_valid_and_fire_when_they_should(self):
        for args in (["check", "rules", str(RULES)], ["test", "rules", "alerts_test.yml"]):
            with self.subTest(args=args):
                result = subprocess.run(["promtool", *args], cwd=HERE, capture_output=True, text=True,
                                        timeout=LONG)
                self.assertEqual(result.returncode, 0, result.stdout + result.stderr)


class PrometheusTest(children.TestCase):
    def setUp(self):
        super().setUp()
        self.dir = pathlib.Path(self.enterContext(tempfile.TemporaryDirectory(prefix="notavero-prom-")))
        self.sim = Simulator()
        self.addCleanup(self.sim.close)
        self.service = Service(self.dir / "state", {"kiosk": self.sim}, 0, "--enable")
        self.addCleanup(self.service.stop)

    def start_prometheus(self):
        config = self.dir / "prometheus.yml"
        config.write_text(json.dumps({  # JSON is YAML
            "global": {"scrape_interval": "1s", "evaluation_interval": "1s"},
            "rule_files": [str(RULES)],
            "scrape_configs": [{"job_name": "notavero",
                                "static_configs": [{"targets": [f"127.0.0.1:{self.service.port}"]}]}],
        }))
        port = free_port()
        with open(self.dir / "prometheus.log", "w") as log:
            process = children.popen(["prometheus", f"--config.file={config}",
                                      f"--storage.tsdb.path={self.dir / 'tsdb'}",
                                      f"--web.listen-address=127.0.0.1:{port}"],
                                     stdout=subprocess.DEVNULL, stderr=log, env=child_environment())
        self.addCleanup(children.kill, process)
        self.prometheus = f"http://127.0.0.1:{port}"

        def ready():
            try:
                return http_get(self.prometheus + "/-/ready", timeout=5)
            except OSError:
                if process.poll() is not None:
                    self.fail("prometheus ended: " + (self.dir / "prometheus.log").read_text()[-2000:])
                return None

        wait_until(ready, "prometheus to be ready")

    def query(self, expression):
        """{labels' values joined by ',': sample value} of an instant query."""
        body = json.loads(http_get(self.prometheus + "/api/v1/query?" +
                                   urllib.parse.urlencode({"query": expression})))
        self.assertEqual(body["status"], "success", body)
        return {",".join(v for k, v in sorted(r["metric"].items()) if k not in ("__name__", "instance", "job")): r["value"][1]
                for r in body["data"]["result"]}

    def wait_query(self, expression, expected):
        seen = []
        wait_until(lambda: seen.append(self.query(expression)) or seen[-1] == expected,
                   lambda: f"{expression} to be {expected} in Prometheus; last seen: {seen[-1]}")

    def test_stacked_bills_reach_prometheus(self):
        self.start_prometheus()
        wait_until(lambda: self.sim.status()["state"] == "14", "the validator to accept")
        decider = Decider(self.service.port, self.service.token)
        self.addCleanup(decider.close)
        for bill_type in (4, 2, 4):  # 100, 10, 100
            decider.take(self.sim, "kiosk", bill_type)
        decider.reject(self.sim, "kiosk", 0)
        self.assertEqual(self.sim.status()["stacked"], "3")

        self.wait_query("notavero_bills_stacked_total", {"kiosk,10": "1", "kiosk,100": "2"})
        self.wait_query("notavero_bills_rejected_total", {"kiosk": "1"})
        self.assertEqual(self.query("notavero_stacked_amount_total"), {"kiosk": "210"})
        # On a loaded machine one scrape may miss its one-second time-out
        # (up 0, an alert pending for a moment): what must hold is that the
        # next scrapes see a healthy validator and nothing stays pending.
        self.wait_query('up{job="notavero"}', {"": "1"})
        self.wait_query("notavero_link_state", {"kiosk": "1"})

        # The example rules load in the real Prometheus, and none fires on a healthy validator.
        rules = json.loads(http_get(self.prometheus + "/api/v1/rules"))["data"]["groups"]
        self.assertEqual([(g["name"], len(g["rules"])) for g in rules], [("notavero", 9)])
        self.assertTrue(all(r["health"] in ("ok", "unknown") for r in rules[0]["rules"]), rules)
        alerts = []
        wait_until(lambda: alerts.append(json.loads(http_get(self.prometheus + "/api/v1/alerts"))["data"]["alerts"])
                   or alerts[-1] == [],
                   lambda: f"no alert on a healthy validator; last seen: {alerts[-1]}")


if __name__ == "__main__":
    unittest.main()
