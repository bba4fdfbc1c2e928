"""The central ledger with a real PostgreSQL: three kiosks (each a
notavero-serve with its simulator and a client that stacks bills) ship their
journals to a private server.  The ledger equals the journals row for row
after an outage of PostgreSQL, a kill -9 of a service in the middle of a
batch, and a cassette collection whose report matches what the simulator
stacked into that cassette."""

import contextlib
import glob
import json
import os
import pathlib
import pwd
import shutil
import socket
import subprocess
import tempfile
import unittest

from test_service import SERVE, Service, WebSocket, children, idle, kill, wait_until  # noqa: F401
from tests.support import TIMEOUT, Simulator

VALUES = {2: 10, 3: 50, 4: 100, 5: 500}  # the simulator's bill types, in currency units
UNIT = 10000  # amounts are in 1/10000 units


def postgres_program(name):
    found = shutil.which(name)
    if found:
        return found
    versions = sorted(glob.glob(f"/usr/lib/postgresql/*/bin/{name}"),
                      key=lambda path: int(path.split("/")[4]))
    if not versions:
        raise RuntimeError(f"PostgreSQL's {name} is not installed (scripts/install-deps installs postgresql)")
    return versions[-1]


class Postgres:
    """A private PostgreSQL: initdb in a temporary directory, its own port on
    loopback and its socket in that directory.  PostgreSQL does not run as
    root: under root it runs as nobody."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="notavero-ledger-")
        self.data = os.path.join(self.dir, "data")
        self.as_user = []
        if os.geteuid() == 0:
            nobody = pwd.getpwnam("nobody")
            os.chown(self.dir, nobody.pw_uid, nobody.pw_gid)
            self.as_user = ["runuser", "-u", "nobody", "--"]
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        self.run(postgres_program("initdb"), "-D", self.data, "-A", "trust", "-U", "ledger", "-E", "UTF8",
                 "--locale=C", "--no-sync")
        self.start()
        self.psql("CREATE DATABASE notavero", database="postgres")
        self.conninfo = f"host={self.dir} port={self.port} dbname=notavero user=ledger"

    def run(self, *args):
        subprocess.run([*self.as_user, *args], check=True, stdout=subprocess.DEVNULL, timeout=TIMEOUT * 2)

    def start(self):
        options = f"-p {self.port} -k {self.dir} -c listen_addresses=127.0.0.1 -c fsync=off"
        self.run(postgres_program("pg_ctl"), "-D", self.data, "-l", os.path.join(self.dir, "log"), "-w",
                 "-t", str(int(TIMEOUT * 2)), "-o", options, "start")

    def stop(self):
        self.run(postgres_program("pg_ctl"), "-D", self.data, "-m", "fast", "-w", "stop")

    def psql_args(self, database="notavero"):
        return ["psql", "-X", "-q", "-At", "-F", "\x1f", "-v", "ON_ERROR_STOP=1", "-h", self.dir,
                "-p", str(self.port), "-U", "ledger", "-d", database]

    def psql(self, sql, database="notavero"):
        """The rows of a query, each a list of texts (NULL: '')."""
        out = subprocess.run([*self.psql_args(database), "-c", sql], check=True, capture_output=True,
                             text=True, timeout=TIMEOUT).stdout
        return [line.split("\x1f") for line in out.splitlines()]

    def close(self):
        with contextlib.suppress(subprocess.SubprocessError):
            self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


def journal_rows(service):
    return [[str(value) if value is not None else "" for value in row] for row in service.rows(
        "SELECT id, time_ms, device, kind, amount, code, decision, detail FROM events ORDER BY id")]


class LedgerTest(children.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pg = Postgres()
        for _ in range(2):  # the second time there is nothing to do
            init = subprocess.run([SERVE, "ledger", "init", "--ledger", cls.pg.conninfo], capture_output=True,
                                  text=True, timeout=TIMEOUT)
            if init.returncode != 0:
                cls.pg.close()
                raise RuntimeError(init.stderr)
        cls.init_said = init.stdout
        # This month's partition goes: the first batch makes it again.
        month = cls.pg.psql("SELECT ledger_add_month(now())")[0][0]
        cls.pg.psql(f"DROP TABLE {month}")

    @classmethod
    def tearDownClass(cls):
        cls.pg.close()

    def kiosk(self, index, state_dir=None, sim=None):
        """A service (kiosk k<index>) with its simulator and a ready client."""
        if sim is None:
            sim = Simulator()
            self.addCleanup(sim.close)
        if state_dir is None:
            state_dir = tempfile.mkdtemp()
            self.addCleanup(shutil.rmtree, state_dir, True)
        service = Service(state_dir, "--device", f"kiosk={sim.path}", "--escrow-timeout", "8000",
                          "--ledger", self.pg.conninfo, "--kiosk-id", f"k{index}", "--ledger-batch", "4", "--ledger-retry", "500",
                          "--cassette-capacity", "10")
        self.addCleanup(self.stopped_cleanly, service)
        ws = service.client()
        self.assertEqual(ws.wait_for(lambda m: m["type"] in ("ok", "error"), "hello")["type"], "ok")
        self.assertEqual(ws.reply({"cmd": "enable"})["type"], "ok")
        ws.wait_for(idle, "acceptance on")
        return {"sim": sim, "service": service, "ws": ws, "state": state_dir, "name": f"k{index}"}

    def stopped_cleanly(self, service):
        """SIGTERM ends a service that was not killed with status 0: its
        ledger thread joined, no sanitizer report."""
        status = service.stop()
        if not service.killed:
            self.assertEqual(status, 0)

    def stack(self, kiosk, bill_type):
        kiosk["sim"].command(f"insert {bill_type}")
        escrow = kiosk["ws"].wait_for(lambda m: m["type"] == "escrow", "escrow")
        self.assertEqual(kiosk["ws"].reply({"cmd": "stack", "id": escrow["id"]})["type"], "ok")
        kiosk["ws"].wait_for(lambda m: m["type"] == "stacked", "stacked")
        kiosk["ws"].wait_for(idle, "waiting again")

    def rounds(self, kiosks, count, start=0):
        for n in range(start, start + count):
            for kiosk in kiosks:
                self.stack(kiosk, 2 + n % 4)

    def ledger_rows(self, kiosk):
        return self.pg.psql(
            "SELECT journal_id, round(extract(epoch FROM time) * 1000)::bigint, device, kind, amount, bill_type, "
            f"decision, detail FROM events WHERE kiosk = '{kiosk['name']}' ORDER BY journal_id")

    def cursor(self, kiosk):
        rows = self.pg.psql(f"SELECT journal_id FROM kiosk_cursor WHERE kiosk = '{kiosk['name']}'")
        return int(rows[0][0]) if rows else 0

    def synced(self, kiosks):
        """Waits until the ledger holds every journal row, then compares them."""
        for kiosk in kiosks:
            last = kiosk["service"].rows("SELECT MAX(id) FROM events")[0][0]
            wait_until(lambda: self.cursor(kiosk) == last, f"{kiosk['name']}'s cursor at {last}", TIMEOUT * 2)
            self.assertEqual(self.ledger_rows(kiosk), journal_rows(kiosk["service"]), kiosk["name"])
            wait_until(lambda: kiosk["service"].metric("notavero_ledger_rows_waiting") == 0, "nothing waiting")

    def cassette(self, kiosk):
        status, body = kiosk["service"].http("GET", "/v1/cassette")
        self.assertEqual(status, 200)
        return json.loads(body)["devices"][0]

    def test_three_kiosks_ship_exactly_once_through_an_outage_a_kill_and_a_collection(self):
        self.assertIn("version 1 already", self.init_said)
        kiosks = [self.kiosk(i) for i in range(3)]
        self.rounds(kiosks, 2)

        # A collector takes k1's cassette out and puts it back.
        collected = kiosks[1]
        in_sim = collected["sim"].status()["stacked_types"]
        expected = {}
        for pair in in_sim.split(","):
            bill_type, count = map(int, pair.split(":"))
            expected[str(VALUES[bill_type])] = count
        before = self.cassette(collected)
        self.assertEqual((before["present"], before["by_value"], before["capacity"]), (True, expected, 10))
        collected["sim"].command("cassette-missing")
        wait_until(lambda: not self.cassette(collected)["present"], "the cassette out")
        collected["sim"].command("clear")
        collected["ws"].wait_for(idle, "the cassette back in")
        wait_until(lambda: self.cassette(collected)["present"], "the cassette in")
        self.assertEqual(self.cassette(collected)["bills"], 0)
        self.synced(kiosks)

        # PostgreSQL goes away: bills go on locally, the backlog waits, and
        # arrives once when it is back.
        self.pg.stop()
        self.rounds(kiosks, 2, start=2)
        for kiosk in kiosks:
            service = kiosk["service"]
            self.assertGreater(service.metric("notavero_ledger_rows_waiting"), 0)
            wait_until(lambda: service.metric("notavero_ledger_up") == 0, "the ledger down")
            status, body = service.http("GET", "/v1/ledger")
            info = json.loads(body)
            self.assertEqual(status, 200)
            self.assertTrue(info["last_error"], info)
            self.assertGreater(info["rows_waiting"], 0)
        self.pg.start()
        self.synced(kiosks)

        # kill -9 of k0 while its batch is inserted and waits for the cursor
        # row (held by another transaction): the batch is lost with the
        # connection, and the next run ships it once.
        k0 = kiosks[0]
        holder = subprocess.Popen(self.pg.psql_args(), stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.addCleanup(children.kill, holder)
        holder.stdin.write("BEGIN;\nSELECT journal_id FROM kiosk_cursor WHERE kiosk = 'k0' FOR UPDATE;\n")
        holder.stdin.flush()
        holder.stdout.readline()
        self.rounds([k0], 2, start=5)
        wait_until(lambda: self.pg.psql("SELECT count(*) FROM pg_stat_activity WHERE application_name = "
                                        "'notavero-serve' AND wait_event_type = 'Lock' AND query LIKE "
                                        "'UPDATE kiosk_cursor%'") == [["1"]], "a batch waiting for the cursor")
        kill(k0["service"], k0["ws"])
        holder.stdin.write("COMMIT;\n")
        holder.stdin.close()
        holder.wait(timeout=TIMEOUT)
        kiosks[0] = self.kiosk(0, state_dir=k0["state"], sim=k0["sim"])
        self.synced(kiosks)

        # The report: the collection as the simulator stacked it, and the
        # money of each kiosk as its journal holds it.
        report = json.loads(subprocess.run([SERVE, "ledger", "report", "--ledger", self.pg.conninfo, "--since",
                                            "2000-01-01", "--json"], check=True, capture_output=True, text=True,
                                           timeout=TIMEOUT).stdout)
        self.assertEqual(len(report["collections"]), 1, report)
        collection = report["collections"][0]
        self.assertEqual((collection["kiosk"], collection["device"], collection["by_value"]),
                         ("k1", "kiosk", expected))
        self.assertEqual(collection["bills"], sum(expected.values()))
        self.assertEqual(collection["amount"], sum(int(v) * n for v, n in expected.items()) * UNIT)
        self.assertIsNone(collection["inserted_ms"])  # the first cassette of the journal
        for kiosk, totals in zip(kiosks, report["kiosks"]):
            stacked = kiosk["service"].rows("SELECT COUNT(*), SUM(amount) FROM events WHERE kind = 'stacked'")[0]
            self.assertEqual((totals["kiosk"], totals["bills"], totals["amount"]), (kiosk["name"], *stacked))
        # The accountant's views agree.
        self.assertEqual(self.pg.psql("SELECT kiosk, sum(bills), sum(amount * 10000)::bigint FROM money_per_kiosk_day "
                                      "GROUP BY kiosk ORDER BY kiosk"),
                         [[t["kiosk"], str(t["bills"]), str(t["amount"])] for t in report["kiosks"]])
        self.assertEqual(self.pg.psql("SELECT kiosk, bills, by_value, unconfirmed FROM cassettes"),
                         [["k1", str(collection["bills"]), json.dumps(expected), "0"]])
        text = subprocess.run([SERVE, "ledger", "report", "--ledger", self.pg.conninfo, "--since", "2000-01-01"],
                              check=True, capture_output=True, text=True, timeout=TIMEOUT).stdout
        self.assertRegex(text, r"k1 +kiosk .*\n +by value: 10 x 1, 50 x 1\n")

    def test_a_password_in_the_connection_string_is_refused(self):
        refused = subprocess.run([SERVE, "--device", "/dev/null", "--state-dir", tempfile.gettempdir(), "--ledger",
                                  self.pg.conninfo + " password=secret"], capture_output=True, text=True,
                                 timeout=TIMEOUT)
        self.assertEqual(refused.returncode, 2)
        self.assertIn("a password in the connection string is refused", refused.stderr)
        self.assertNotIn("secret", refused.stderr)


if __name__ == "__main__":
    unittest.main()
