"""The central ledger with a real PostgreSQL: three kiosks (each a
notavero-serve with its simulator and a client that stacks bills) ship their
journals to a private server, each under a role of its own with row level
security.  The ledger equals the journals row for row after an outage of
PostgreSQL, a kill -9 of a service in the middle of a batch, and a cassette
collection whose report, run by an accountant, matches what the simulator
stacked into that cassette.  The server speaks German where a German locale
can be made (its messages are never what the service reads): rows of a month
without a partition and of a detached month arrive once; a hung, gone or
cut-off ledger shows in the kiosk's health and loses nor doubles anything;
a connection that is neither local nor verified TLS carries no row."""

import contextlib
import glob
import json
import os
import pathlib
import pwd
import re
import select
import shutil
import socket
import sqlite3
import subprocess
import tempfile
import threading
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


def outside_address():
    """An IPv4 address of this machine that is not loopback, or None."""
    with contextlib.suppress(OSError, subprocess.SubprocessError):
        out = subprocess.run(["ip", "-o", "-4", "addr", "show", "scope", "global"], capture_output=True,
                             text=True, timeout=TIMEOUT).stdout
        found = re.findall(r"inet (\d+\.\d+\.\d+\.\d+)/", out)
        if found:
            return found[0]
    return None


def german_locale(directory):
    """The environment and lc_messages of a German locale: the system's, or
    one made with localedef in directory (LOCPATH); None when neither."""
    installed = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.split()
    for name in ("de_DE.utf8", "de_DE.UTF-8"):
        if name in installed:
            return {}, name
    with contextlib.suppress(OSError, subprocess.SubprocessError):
        subprocess.run(["localedef", "-i", "de_DE", "-f", "UTF-8", os.path.join(directory, "de_DE.UTF-8")],
                       check=True, capture_output=True, timeout=TIMEOUT * 2)
        return {"LOCPATH": directory}, "de_DE.UTF-8"
    return None


class Postgres:
    """A private PostgreSQL: initdb in a temporary directory, its own port on
    loopback (and on outside, an address of this machine that is not
    loopback, when given) and its socket in that directory; without TLS.
    With german, its messages are in German when a German locale can be
    made (self.lc_messages says which).  PostgreSQL does not run as root:
    under root it runs as nobody."""

    def __init__(self, german=False, outside=None, tls_name=None):
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
        self.env, self.lc_messages = dict(os.environ), "C"
        if german:
            locales = os.path.join(self.dir, "locales")
            os.mkdir(locales)
            found = german_locale(locales)
            if found:
                self.env.update(found[0])
                self.lc_messages = found[1]
        self.outside = outside
        self.tls = f"-c ssl=on -c ssl_cert_file={self.dir}/server.crt -c ssl_key_file={self.dir}/server.key" \
            if tls_name else "-c ssl=off"
        if tls_name:
            self.make_certificates(tls_name)
        self.run(postgres_program("initdb"), "-D", self.data, "-A", "trust", "-U", "ledger", "-E", "UTF8",
                 "--locale=C", "--no-sync")
        if outside:
            with open(os.path.join(self.data, "pg_hba.conf"), "a") as hba:
                hba.write(f"host all all {outside}/32 trust\n")
        self.start()
        self.psql("CREATE DATABASE notavero", database="postgres")
        self.conninfo = self.conninfo_of("ledger")

    def make_certificates(self, name):
        """A CA (ca.crt) and the server's certificate for name, signed by it."""
        def openssl(*args):
            subprocess.run(["openssl", *args], check=True, capture_output=True, cwd=self.dir, timeout=TIMEOUT)
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.crt", "-days", "2",
                "-subj", "/CN=notavero test CA")
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out", "server.csr", "-subj",
                f"/CN={name}")
        with open(os.path.join(self.dir, "san"), "w") as out:
            out.write(f"subjectAltName=DNS:{name}\n")
        openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key", "-CAcreateserial",
                "-out", "server.crt", "-days", "2", "-extfile", "san")
        key = os.path.join(self.dir, "server.key")
        os.chmod(key, 0o600)
        if self.as_user:
            nobody = pwd.getpwnam("nobody")
            os.chown(key, nobody.pw_uid, nobody.pw_gid)

    def conninfo_of(self, user, database="notavero"):
        return f"host={self.dir} port={self.port} dbname={database} user={user}"

    def run(self, *args):
        subprocess.run([*self.as_user, *args], check=True, stdout=subprocess.DEVNULL, timeout=TIMEOUT * 2,
                       env=self.env)

    def start(self):
        listen = "127.0.0.1" + (f",{self.outside}" if self.outside else "")
        options = (f"-p {self.port} -k {self.dir} -c listen_addresses={listen} -c fsync=off {self.tls} "
                   f"-c lc_messages={self.lc_messages}")
        self.run(postgres_program("pg_ctl"), "-D", self.data, "-l", os.path.join(self.dir, "log"), "-w",
                 "-t", str(int(TIMEOUT * 2)), "-o", options, "start")

    def stop(self):
        self.run(postgres_program("pg_ctl"), "-D", self.data, "-m", "fast", "-w", "stop")

    def psql_args(self, database="notavero", user="ledger"):
        return ["psql", "-X", "-q", "-At", "-F", "\x1f", "-v", "ON_ERROR_STOP=1", "-v", "VERBOSITY=sqlstate",
                "-h", self.dir, "-p", str(self.port), "-U", user, "-d", database]

    def psql(self, sql, database="notavero", user="ledger"):
        """The rows of a query, each a list of texts (NULL: '')."""
        out = subprocess.run([*self.psql_args(database, user), "-c", sql], check=True, capture_output=True,
                             text=True, timeout=TIMEOUT).stdout
        return [line.split("\x1f") for line in out.splitlines()]

    def refused(self, sql, user, database="notavero"):
        """The SQLSTATE with which the server refuses sql run as user (psql
        prints it alone with VERBOSITY=sqlstate), or what it said instead."""
        done = subprocess.run([*self.psql_args(database, user), "-c", sql], capture_output=True, text=True,
                              timeout=TIMEOUT)
        found = re.search(r"^\w+:\s+([0-9A-Z]{5})\s*$", done.stderr, re.M)  # ERROR, FEHLER ...
        return found.group(1) if done.returncode != 0 and found else (done.returncode, done.stdout, done.stderr)

    def close(self):
        with contextlib.suppress(subprocess.SubprocessError):
            self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


class Proxy:
    """A TCP proxy on loopback to the server's port that the test can pause
    (it stops forwarding and keeps the connections: a hung server or
    pooler), close (connections and listener go: the ledger is gone) and
    open again, or arm to cut one connection when the client sends a
    pattern: after passing it on (the server gets a COMMIT whose reply is
    lost) or before (a reset in the middle of a transaction)."""

    def __init__(self, target_port):
        self.target = ("127.0.0.1", target_port)
        self.lock = threading.Lock()
        self.forwarding = threading.Event()
        self.forwarding.set()
        self.armed = None  # (pattern, pass it on first)
        self.cuts = 0
        self.pairs = []
        self.stopped = False
        self.listener = None
        self.port = 0
        self.open()

    def open(self):
        listener = socket.socket()
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(("127.0.0.1", self.port))
        listener.listen(16)
        self.port = listener.getsockname()[1]
        self.listener = listener
        threading.Thread(target=self.accept, args=(listener,), daemon=True).start()

    def accept(self, listener):
        while True:
            try:
                client, _ = listener.accept()
            except OSError:
                return
            server = socket.create_connection(self.target)
            with self.lock:
                self.pairs.append((client, server))
            threading.Thread(target=self.pump, args=(client, server), daemon=True).start()

    def pump(self, client, server):
        with contextlib.suppress(OSError, ValueError):
            while True:
                readable, _, _ = select.select([client, server], [], [], 0.1)
                if self.stopped:
                    return
                if not self.forwarding.is_set():
                    continue
                for source in readable:
                    data = source.recv(65536)
                    if not data:
                        return self.drop(client, server)
                    if source is client and self.armed and self.armed[0] in data:
                        with self.lock:
                            pattern, pass_on = self.armed
                            self.armed = None
                            self.cuts += 1
                        if pass_on:
                            server.sendall(data)
                        return self.drop(client, server)
                    (server if source is client else client).sendall(data)

    @staticmethod
    def drop(*sockets):
        for sock in sockets:
            with contextlib.suppress(OSError):
                sock.shutdown(socket.SHUT_RDWR)
            sock.close()

    def arm(self, pattern, pass_on):
        with self.lock:
            self.armed = (pattern, pass_on)

    def close(self):
        """The ledger is gone: the connections are reset and nobody listens."""
        with contextlib.suppress(OSError):
            self.listener.shutdown(socket.SHUT_RDWR)  # wakes the accepting thread
        self.listener.close()
        with self.lock:
            pairs, self.pairs = self.pairs, []
        for pair in pairs:
            self.drop(*pair)

    def shutdown(self):
        self.stopped = True
        self.forwarding.set()
        self.close()


def journal_rows(service):
    return [[str(value) if value is not None else "" for value in row] for row in service.rows(
        "SELECT id, time_ms, device, kind, amount, code, decision, detail FROM events ORDER BY id")]


class LedgerCase(children.TestCase):
    """A private ledger for the tests of a class, its roles, and kiosks that ship to it."""

    @classmethod
    def setUpClass(cls):
        cls.pg = Postgres(german=True, outside=outside_address())
        try:
            cls.init_said = cls.init("notavero")
            # Kiosk k<n> ships as role k<n>; accounts reads them all;
            # stranger is a kiosk role bound to no kiosk; k4 is a role as
            # version 1 of the schema told the operator to make it.
            cls.pg.psql("CREATE ROLE k4 LOGIN")
            for n in (0, 1, 2, 3, 5, 6, 7, 8, 9):
                cls.pg.psql(f"CREATE ROLE k{n} LOGIN IN ROLE notavero_kiosk")
                cls.pg.psql(f"INSERT INTO kiosk_roles VALUES ('k{n}', 'k{n}')")
            cls.pg.psql("CREATE ROLE accounts LOGIN IN ROLE notavero_accountant")
            cls.pg.psql("CREATE ROLE stranger LOGIN IN ROLE notavero_kiosk")
            # This month has no partition: its rows go to the default one.
            cls.pg.psql(f"DROP TABLE {cls.this_month()}")
        except BaseException:
            cls.pg.close()
            raise

    @classmethod
    def init(cls, database):
        """ledger init, twice (the second time there is nothing to do); what it said the first time."""
        said = []
        for _ in range(2):
            init = subprocess.run([SERVE, "ledger", "init", "--ledger", cls.pg.conninfo_of("ledger", database)],
                                  capture_output=True, text=True, timeout=TIMEOUT)
            if init.returncode != 0:
                raise RuntimeError(init.stderr)
            said.append(init.stdout)
        return said

    @classmethod
    def this_month(cls, database="notavero"):
        return cls.pg.psql("SELECT 'events_' || to_char(now() AT TIME ZONE 'UTC', 'YYYY_MM')", database)[0][0]

    @classmethod
    def tearDownClass(cls):
        cls.pg.close()

    def kiosk(self, index, state_dir=None, sim=None, conninfo=None, options=(), prefix=()):
        """A service (kiosk k<index>, as role k<index>) with its simulator and a ready client."""
        if sim is None:
            sim = Simulator()
            self.addCleanup(sim.close)
        if state_dir is None:
            state_dir = tempfile.mkdtemp()
            self.addCleanup(shutil.rmtree, state_dir, True)
        service = Service(state_dir, "--device", f"kiosk={sim.path}", "--escrow-timeout", "8000",
                          "--ledger", conninfo or self.pg.conninfo_of(f"k{index}"), "--kiosk-id", f"k{index}",
                          "--ledger-batch", "4", "--ledger-retry", "500", "--cassette-capacity", "10", *options,
                          prefix=prefix)
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

    def ledger_rows(self, kiosk, database="notavero", table="events"):
        return self.pg.psql(
            "SELECT journal_id, round(extract(epoch FROM time) * 1000)::bigint, device, kind, amount, bill_type, "
            f"decision, detail FROM {table} WHERE kiosk = '{kiosk['name']}' ORDER BY journal_id", database)

    def cursor(self, kiosk, database="notavero"):
        """The ledger's cursor of the journal the kiosk ships to."""
        journal = self.ledger_info(kiosk)["ledger_journal"]
        rows = self.pg.psql(f"SELECT journal_id FROM journal_cursor WHERE kiosk = '{kiosk['name']}' "
                            f"AND journal = '{journal}'", database)
        return int(rows[0][0]) if rows else 0

    def synced(self, kiosks, database="notavero", also=()):
        """Waits until the ledger holds every journal row, then compares them
        (with the rows of the tables in also: detached months)."""
        for kiosk in kiosks:
            last = kiosk["service"].rows("SELECT MAX(id) FROM events")[0][0]
            wait_until(lambda: self.cursor(kiosk, database) == last, f"{kiosk['name']}'s cursor at {last}",
                       TIMEOUT * 2)
            held = self.ledger_rows(kiosk, database)
            for table in also:
                held += self.ledger_rows(kiosk, database, table)
            self.assertEqual(sorted(held, key=lambda row: int(row[0])), journal_rows(kiosk["service"]),
                             kiosk["name"])
            wait_until(lambda: kiosk["service"].metric("notavero_ledger_rows_waiting") == 0, "nothing waiting")

    def ledger_info(self, kiosk):
        status, body = kiosk["service"].http("GET", "/v1/ledger")
        self.assertEqual(status, 200)
        return json.loads(body)

    def down(self, kiosk, why):
        """Waits until the kiosk says the ledger is down: up 0, not
        connected, an error that matches why."""
        seen = {}

        def said():
            seen.update(self.ledger_info(kiosk), up=kiosk["service"].metric("notavero_ledger_up"))
            return seen["up"] == 0 and not seen["connected"] and re.search(why, seen["last_error"] or "")
        try:
            wait_until(said, f"{kiosk['name']} saying the ledger is down ({why})", TIMEOUT * 2)
        except AssertionError as error:
            raise AssertionError(f"{error}; last seen: {seen}") from None

    def cassette(self, kiosk):
        status, body = kiosk["service"].http("GET", "/v1/cassette")
        self.assertEqual(status, 200)
        return json.loads(body)["devices"][0]

class LedgerTest(LedgerCase):
    """Money in the ledger: kiosks, an outage, a kill, a collection, months, an old schema."""

    def test_three_kiosks_ship_exactly_once_through_an_outage_a_kill_and_a_collection(self):
        self.assertIn("version 3 applied", self.init_said[0])
        self.assertIn("version 3 already", self.init_said[1])
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

        # PostgreSQL goes away: an idle kiosk says so, bills go on locally,
        # the backlog waits, and arrives once when it is back.
        self.pg.stop()
        for kiosk in kiosks:
            self.down(kiosk, ".")
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
        holder.stdin.write("BEGIN;\nSELECT journal_id FROM journal_cursor WHERE kiosk = 'k0' FOR UPDATE;\n")
        holder.stdin.flush()
        holder.stdout.readline()
        self.rounds([k0], 2, start=5)
        wait_until(lambda: self.pg.psql("SELECT count(*) FROM pg_stat_activity WHERE application_name = "
                                        "'notavero-serve' AND wait_event_type = 'Lock' AND query LIKE "
                                        "'UPDATE journal_cursor%'") == [["1"]], "a batch waiting for the cursor")
        kill(k0["service"], k0["ws"])
        holder.stdin.write("COMMIT;\n")
        holder.stdin.close()
        holder.wait(timeout=TIMEOUT)
        kiosks[0] = self.kiosk(0, state_dir=k0["state"], sim=k0["sim"])
        self.synced(kiosks)

        # The report, run by the accountant: the collection as the simulator
        # stacked it, and the money of each kiosk as its journal holds it and
        # as the kiosk's own role sees it under row level security.
        accounts = self.pg.conninfo_of("accounts")
        report = json.loads(subprocess.run([SERVE, "ledger", "report", "--ledger", accounts, "--since",
                                            "2000-01-01", "--json"], check=True, capture_output=True, text=True,
                                           timeout=TIMEOUT).stdout)
        self.assertEqual(len(report["collections"]), 1, report)
        collection = report["collections"][0]
        self.assertEqual((collection["kiosk"], collection["device"], collection["by_value"]),
                         ("k1", "kiosk", expected))
        self.assertEqual(collection["bills"], sum(expected.values()))
        self.assertEqual(collection["amount"], sum(int(v) * n for v, n in expected.items()) * UNIT)
        self.assertIsNone(collection["inserted_ms"])  # the first cassette of the journal
        names = [kiosk["name"] for kiosk in kiosks]
        totals_of = {totals["kiosk"]: totals for totals in report["kiosks"]}  # other tests' kiosks too
        self.assertLessEqual(set(names), set(totals_of), report)
        for kiosk, totals in zip(kiosks, [totals_of[name] for name in names]):
            stacked = kiosk["service"].rows("SELECT COUNT(*), SUM(amount) FROM events WHERE kind = 'stacked'")[0]
            self.assertEqual((totals["kiosk"], totals["bills"], totals["amount"]), (kiosk["name"], *stacked))
            own = self.pg.psql("SELECT kiosk, count(*) FILTER (WHERE kind = 'stacked'), "
                               "sum(amount) FILTER (WHERE kind = 'stacked'), count(*) FROM events GROUP BY kiosk",
                               user=kiosk["name"])
            self.assertEqual(own, [[kiosk["name"], *map(str, stacked), str(len(journal_rows(kiosk["service"])))]])
        # The accountant's views agree; a kiosk's role sees its own kiosk in them.
        self.assertEqual(self.pg.psql("SELECT kiosk, sum(bills), sum(amount * 10000)::bigint FROM money_per_kiosk_day "
                                      "WHERE kiosk IN ('k0', 'k1', 'k2') GROUP BY kiosk ORDER BY kiosk",
                                      user="accounts"),
                         [[name, str(totals_of[name]["bills"]), str(totals_of[name]["amount"])] for name in names])
        self.assertEqual(self.pg.psql("SELECT DISTINCT kiosk FROM money_per_device", user="k2"), [["k2"]])
        self.assertEqual(self.pg.psql("SELECT kiosk, bills, by_value, unconfirmed FROM cassettes", user="accounts"),
                         [["k1", str(collection["bills"]), json.dumps(expected), "0"]])
        text = subprocess.run([SERVE, "ledger", "report", "--ledger", accounts, "--since", "2000-01-01"],
                              check=True, capture_output=True, text=True, timeout=TIMEOUT).stdout
        self.assertRegex(text, r"k1 +kiosk .*\n +by value: 10 x 1, 50 x 1\n")

        # A role that sees no kiosk gets no page of zeros.
        blind = subprocess.run([SERVE, "ledger", "report", "--ledger", self.pg.conninfo_of("stranger"), "--since",
                                "2000-01-01"], capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual(blind.returncode, 1, blind)
        self.assertIn("sees no kiosk", blind.stderr)

        # A kiosk's role cannot write for another kiosk.
        self.assertEqual(self.pg.refused("INSERT INTO events(kiosk, device, journal_id, time, kind) "
                                         "VALUES ('k1', 'kiosk', 999999, now(), 'stacked')", "k0"), "42501")
        self.assertEqual(self.pg.refused("INSERT INTO kiosk_cursor(kiosk) VALUES ('k9-not-mine')", "k0"), "42501")
        self.assertEqual(self.pg.refused("INSERT INTO journal_cursor(kiosk, journal) VALUES ('k1', 'x')", "k0"),
                         "42501")
        self.assertEqual(self.pg.refused("UPDATE kiosk_cursor SET kiosk = 'k1' WHERE kiosk = 'k0'", "k0"), "42501")
        before = self.cursor(kiosks[1])
        self.assertEqual(self.pg.refused("UPDATE kiosk_cursor SET journal_id = 0 WHERE kiosk = 'k1'", "k0"),
                         (0, "", ""))  # no row of k1 is visible to k0: nothing changes
        self.assertEqual(self.cursor(kiosks[1]), before)
        # A kiosk started under another kiosk's id is refused, and says why.
        impostor = self.kiosk(1, conninfo=self.pg.conninfo_of("k3"))
        self.down(impostor, r"SQLSTATE 42501")
        self.synced(kiosks)

    def test_rows_of_a_month_without_a_partition_and_of_a_detached_month_arrive_once(self):
        # The server's messages are German where a German locale could be
        # made: the shipper reads no message text.
        print(f"\n[ledger server lc_messages: {self.pg.lc_messages}]", flush=True)
        if self.pg.lc_messages != "C":
            said = self.pg.refused("SELECT 1 / 0", "ledger")
            self.assertEqual(said, "22012")
            german = subprocess.run([*self.pg.psql_args(), "-v", "VERBOSITY=default", "-c", "SELECT 1 / 0"],
                                    capture_output=True, text=True, timeout=TIMEOUT).stderr
            self.assertIn("Division durch Null", german)
        self.pg.psql("CREATE DATABASE months", database="postgres")
        self.init("months")
        self.pg.psql("INSERT INTO kiosk_roles VALUES ('k8', 'k8')", "months")
        month = self.this_month("months")
        self.pg.psql(f"DROP TABLE {month}", "months")
        kiosk = self.kiosk(8, conninfo=self.pg.conninfo_of("k8", "months"))
        self.rounds([kiosk], 2)
        self.synced([kiosk], "months")
        held = len(journal_rows(kiosk["service"]))
        self.assertEqual(self.pg.psql("SELECT count(*) FROM events_default", "months"), [[str(held)]])

        # The owner's maintenance makes the month's partition and moves the rows.
        maintain = [SERVE, "ledger", "maintain", "--ledger", self.pg.conninfo_of("ledger", "months")]
        said = subprocess.run(maintain, check=True, capture_output=True, text=True, timeout=TIMEOUT).stdout
        self.assertIn(f"{month}: made, {held} rows moved", said)
        self.assertIn("events_default: 0 rows", said)
        self.assertEqual(self.pg.psql(f"SELECT count(*) FROM {month}", "months"), [[str(held)]])
        refused = subprocess.run([SERVE, "ledger", "maintain", "--ledger", self.pg.conninfo_of("k8", "months")],
                                 capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual(refused.returncode, 1, refused)
        self.assertIn("SQLSTATE 42501", refused.stderr)

        # The month is detached and kept, as for archiving: later rows go to
        # the default partition; every row is in the ledger or the archive once.
        self.pg.psql(f"ALTER TABLE events DETACH PARTITION {month}", "months")
        self.rounds([kiosk], 2, start=2)
        self.synced([kiosk], "months", also=[month])
        said = subprocess.run(maintain, check=True, capture_output=True, text=True, timeout=TIMEOUT).stdout
        later = len(journal_rows(kiosk["service"])) - held
        self.assertIn(f"{month}: a table that is not a partition of events (detached?): {later} rows", said)
        self.synced([kiosk], "months", also=[month])

    def test_a_version_1_ledger_is_brought_to_version_2_and_its_kiosks_ship_on(self):
        self.pg.psql("CREATE DATABASE old", database="postgres")
        schema_1 = pathlib.Path(__file__).resolve().parents[2] / "service" / "ledger" / "schema-1.sql"
        subprocess.run([*self.pg.psql_args("old"), "-1", "-f", str(schema_1)], check=True, capture_output=True,
                       timeout=TIMEOUT)
        # Its kiosk k4 shipped before, with the rights version 1 named.
        self.pg.psql("GRANT SELECT, INSERT ON events TO k4; GRANT SELECT, INSERT, UPDATE ON kiosk_cursor TO k4; "
                     "GRANT EXECUTE ON FUNCTION ledger_add_month(timestamptz) TO k4; "
                     "INSERT INTO kiosk_cursor(kiosk) VALUES ('k4')", "old")
        month = self.this_month("old")
        self.pg.psql(f"DROP TABLE {month}", "old")  # a new month began
        said = self.init("old")
        self.assertIn("version 2 applied", said[0])
        self.assertIn("version 3 applied", said[0])
        self.assertNotIn("version 1 applied", said[0])
        self.assertEqual(self.pg.psql("SELECT role_name, kiosk FROM kiosk_roles", "old"), [["k4", "k4"]])
        kiosk = self.kiosk(4, conninfo=self.pg.conninfo_of("k4", "old"))
        self.rounds([kiosk], 2)
        self.synced([kiosk], "old")
        # Rows a kiosk shipped before journals had identities (journal '',
        # no links): its journal, migrated in place, ships on after them.
        kiosk["service"].stop()
        last = kiosk["service"].rows("SELECT MAX(id) FROM events")[0][0]
        self.pg.psql("UPDATE events SET journal = '', link = NULL WHERE kiosk = 'k4'; "
                     "DELETE FROM journal_cursor WHERE kiosk = 'k4'; "
                     f"INSERT INTO journal_cursor(kiosk, journal, journal_id) VALUES ('k4', '', {last})", "old")
        kiosk = self.kiosk(4, state_dir=kiosk["state"], sim=kiosk["sim"], conninfo=self.pg.conninfo_of("k4", "old"))
        self.rounds([kiosk], 2, start=2)
        self.synced([kiosk], "old")
        self.assertEqual(self.pg.psql("SELECT journal = '', count(*) FROM events WHERE kiosk = 'k4' "
                                      "GROUP BY 1 ORDER BY 1", "old"),
                         [["f", str(len(journal_rows(kiosk["service"])) - last)], ["t", str(last)]])
        self.assertEqual(self.pg.refused("INSERT INTO events(kiosk, device, journal_id, time, kind) "
                                         "VALUES ('k1', 'kiosk', 999999, now(), 'stacked')", "k4", "old"), "42501")

class LedgerJournalTest(LedgerCase):
    """Journals that change under a kiosk id, a ledger that hangs, and connections that may not carry rows."""

    def test_a_restored_backup_a_reimaged_kiosk_and_two_kiosks_with_one_id_lose_no_bill_and_are_reported(self):
        def content(rows):  # time, device, kind, amount, bill type
            return sorted(tuple(row[1:6]) for row in rows)

        def shipped(kiosk):
            last = kiosk["service"].rows("SELECT MAX(id) FROM events")[0][0]
            wait_until(lambda: self.cursor(kiosk) == last, f"{kiosk['name']}'s cursor at {last}", TIMEOUT * 2)

        def said(kiosk, text):
            seen = {}
            try:
                wait_until(lambda: text in (seen.update(self.ledger_info(kiosk)) or seen.get("divergence") or ""),
                           f"the kiosk saying '{text}'")
            except AssertionError as error:
                raise AssertionError(f"{error}; /v1/ledger said {seen}") from None
            return seen

        first = self.kiosk(9)
        self.rounds([first], 2)
        self.synced([first])
        backup = os.path.join(first["state"], "backup.sqlite")
        with contextlib.closing(sqlite3.connect(first["service"].journal)) as source, \
                contextlib.closing(sqlite3.connect(backup)) as copy:
            source.backup(copy)
        backed_up = first["service"].rows("SELECT MAX(id) FROM events")[0][0]
        self.rounds([first], 2, start=2)
        self.synced([first])
        before = journal_rows(first["service"])
        identity = self.ledger_info(first)["journal"]

        # The journal restored from the backup: the ledger keeps the rows
        # the backup lost; the new ones continue after the shared prefix.
        first["service"].stop()
        for suffix in ("", "-wal", "-shm"):
            with contextlib.suppress(FileNotFoundError):
                os.remove(str(first["service"].journal) + suffix)
        shutil.copy(backup, first["service"].journal)
        os.chmod(first["service"].journal, 0o600)
        restored = self.kiosk(9, state_dir=first["state"], sim=first["sim"])
        self.rounds([restored], 2, start=4)
        info = said(restored, "restored from a backup")
        self.assertEqual(info["journal"], identity)
        self.assertNotEqual(info["ledger_journal"], identity, info)
        shipped(restored)
        self.assertEqual(self.pg.psql(f"SELECT continues, continues_after FROM journal_cursor "
                                      f"WHERE journal = '{info['ledger_journal']}'", user="accounts"),
                         [[identity, str(backed_up)]])
        after = [row for row in journal_rows(restored["service"]) if int(row[0]) > backed_up]
        self.assertEqual(content(self.ledger_rows(restored)), content(before + after))
        self.assertGreaterEqual(restored["service"].metric("notavero_ledger_divergences_total"), 1)

        # Re-imaged (a new journal under the same kiosk id), then a second
        # kiosk given the same id: each ships whole; the two live ones are named.
        restored["service"].stop()
        kept = content(self.ledger_rows(restored))
        reimaged = self.kiosk(9)
        said(reimaged, "is new to the ledger")
        twin = self.kiosk(9)
        self.rounds([reimaged, twin], 2)
        for kiosk in (reimaged, twin):
            shipped(kiosk)
            wait_until(lambda: kiosk["service"].metric("notavero_ledger_live_journals") == 2,
                       "two live journals of k9")
        self.assertEqual(content(self.ledger_rows(reimaged)),
                         sorted(kept + content(journal_rows(reimaged["service"]) + journal_rows(twin["service"]))))
        live = self.pg.psql("SELECT kiosk, cardinality(journals) FROM kiosks_with_two_live_journals", user="accounts")
        self.assertEqual(live, [["k9", "2"]])
        report = subprocess.run([SERVE, "ledger", "report", "--ledger", self.pg.conninfo_of("accounts"), "--since",
                                 "2000-01-01", "--json"], capture_output=True, text=True, timeout=TIMEOUT)
        self.assertIn("kiosk id k9 has 2 journals live at once", report.stderr)
        self.assertEqual(sorted(json.loads(report.stdout)["two_live_journals"]["k9"]),
                         sorted(self.ledger_info(k)["journal"] for k in (reimaged, twin)))
        # Every bill the simulators stacked is in the ledger once.
        stacked = {}
        for sim in (first["sim"], reimaged["sim"], twin["sim"]):
            for pair in sim.status()["stacked_types"].split(","):
                bill_type, count = map(int, pair.split(":"))
                stacked[str(bill_type)] = stacked.get(str(bill_type), 0) + count
        self.assertEqual(dict(self.pg.psql("SELECT bill_type, count(*) FROM events WHERE kiosk = 'k9' AND "
                                           "kind = 'stacked' GROUP BY bill_type")),
                         {bill_type: str(count) for bill_type, count in stacked.items()})

    def test_a_hung_gone_or_cut_off_ledger_shows_and_loses_nor_doubles_a_row(self):
        proxy = Proxy(self.pg.port)
        self.addCleanup(proxy.shutdown)
        kiosk = self.kiosk(7, conninfo=f"host=127.0.0.1 port={proxy.port} dbname=notavero user=k7",
                           options=("--ledger-timeout", "2000"))
        self.rounds([kiosk], 1)
        self.synced([kiosk])

        # Hung while idle: the probe says so; a bill goes through meanwhile.
        proxy.forwarding.clear()
        self.down(kiosk, "did not (answer|complete the connection)")
        self.rounds([kiosk], 1, start=1)
        proxy.forwarding.set()
        self.synced([kiosk])

        # Gone while idle (nothing listens; its connections were reset).
        proxy.close()
        self.down(kiosk, ".")
        proxy.open()
        self.synced([kiosk])

        # A reset in the middle of a batch, and a COMMIT whose reply is lost:
        # every row once, and the rows shipped counted exactly.
        proxy.arm(b"INSERT INTO events", pass_on=False)
        self.rounds([kiosk], 1, start=2)
        self.synced([kiosk])
        proxy.arm(b"COMMIT\x00", pass_on=True)
        self.rounds([kiosk], 2, start=3)
        self.synced([kiosk])
        self.assertEqual(proxy.cuts, 2)
        last = kiosk["service"].rows("SELECT MAX(id) FROM events")[0][0]
        shipped = []

        def counted():
            shipped.append(kiosk["service"].metric("notavero_ledger_rows_shipped_total"))
            return shipped[-1] == last
        try:
            wait_until(counted, f"rows shipped at {last}")
        except AssertionError as error:
            raise AssertionError(f"{error}; the counter said {shipped[-1]}") from None
        info = self.ledger_info(kiosk)
        self.assertEqual((info["rows_shipped"], info["confirmed_id"], info["connected"]), (last, last, True), info)

        # A row changed in the journal before it was shipped: the ledger
        # refuses it and every row after it, the kiosk says so, and
        # journal verify names the row.
        proxy.forwarding.clear()
        self.rounds([kiosk], 1, start=5)
        edited = kiosk["service"].rows("SELECT MAX(id) FROM events WHERE kind = 'stacked'")[0][0]
        kiosk["service"].stop()
        with contextlib.closing(sqlite3.connect(kiosk["service"].journal)) as writer:
            writer.execute("UPDATE events SET amount = amount * 10 WHERE id = ?", (edited,))
            writer.commit()
        proxy.forwarding.set()
        kiosk = self.kiosk(7, state_dir=kiosk["state"], sim=kiosk["sim"],
                           conninfo=f"host=127.0.0.1 port={proxy.port} dbname=notavero user=k7")
        seen = {}
        wait_until(lambda: "does not fit" in (seen.update(self.ledger_info(kiosk)) or seen["last_error"] or ""),
                   lambda: f"the ledger refusing row {edited}: {seen}")
        self.assertIn(f"rows from id {edited}", seen["last_error"])
        self.assertEqual(kiosk["service"].metric("notavero_ledger_up"), 0)
        self.assertEqual(self.pg.psql(f"SELECT count(*) FROM events WHERE kiosk = 'k7' AND journal_id >= {edited}"),
                         [["0"]])
        verify = subprocess.run([SERVE, "journal", "verify", str(kiosk["service"].journal)], capture_output=True,
                                text=True, timeout=TIMEOUT)
        self.assertEqual(verify.returncode, 1, verify)
        self.assertIn(f"row {edited}: the row does not fit its chain", verify.stdout)

    def own_hosts(self, directory, name, address):
        """A command prefix under which name resolves to address (a hosts
        file of the command's own, in a mount namespace of its own, as a
        resolver could answer), or None where no mount namespace can be made."""
        hosts = os.path.join(directory, "hosts")
        with open(hosts, "w") as out:
            out.write(pathlib.Path("/etc/hosts").read_text() + f"\n{address} {name}\n")
        prefix = ["unshare", "-m", "sh", "-c", 'mount --bind "$0" /etc/hosts && exec "$@"', hosts]
        with contextlib.suppress(OSError, subprocess.SubprocessError):
            if subprocess.run([*prefix, "getent", "hosts", name], capture_output=True,
                              timeout=TIMEOUT).returncode == 0:
                return prefix
        return None

    def test_a_verified_tls_connection_to_another_address_carries_rows_and_an_unverified_one_none(self):
        outside = self.pg.outside
        if not outside:
            self.skipTest("this machine has no address besides loopback")
        tls = Postgres(outside=outside, tls_name="ledger.test")
        self.addCleanup(tls.close)
        prefix = self.own_hosts(tls.dir, "ledger.test", outside)
        if not prefix:
            self.skipTest("no mount namespace here for a hosts file of the service's own")
        subprocess.run([SERVE, "ledger", "init", "--ledger", tls.conninfo], check=True, capture_output=True,
                       timeout=TIMEOUT)
        tls.psql("CREATE ROLE k6 LOGIN IN ROLE notavero_kiosk; INSERT INTO kiosk_roles VALUES ('k6', 'k6')")
        remote = f"host=ledger.test port={tls.port} dbname=notavero user=k6 sslrootcert={tls.dir}/ca.crt"

        # TLS, but the server's certificate unchecked: refused.
        kiosk = self.kiosk(6, conninfo=remote + " sslmode=require", prefix=prefix)
        self.rounds([kiosk], 1)
        self.down(kiosk, rf"refused the connection to ledger\.test \({re.escape(outside)}\).*TLS, sslmode require")
        kiosk["service"].stop()
        self.assertEqual(tls.psql("SELECT count(*) FROM events"), [["0"]])

        # The service's own choice for a host that is not this machine:
        # verify-full, and the rows arrive over TLS.
        kiosk = self.kiosk(6, conninfo=remote, prefix=prefix)
        self.rounds([kiosk], 1)
        last = kiosk["service"].rows("SELECT MAX(id) FROM events")[0][0]
        wait_until(lambda: tls.psql("SELECT journal_id FROM journal_cursor WHERE kiosk = 'k6'") == [[str(last)]],
                   f"k6's cursor at {last} on the TLS server")
        self.assertEqual(tls.psql(
            "SELECT journal_id, round(extract(epoch FROM time) * 1000)::bigint, device, kind, amount, bill_type, "
            "decision, detail FROM events ORDER BY journal_id"), journal_rows(kiosk["service"]))
        self.assertEqual(tls.psql("SELECT DISTINCT ssl FROM pg_stat_ssl JOIN pg_stat_activity USING (pid) "
                                  f"WHERE usename = 'k6' AND client_addr = '{outside}'"), [["t"]])
        self.assertIsNone(self.ledger_info(kiosk)["last_error"])

    def test_rows_go_only_over_a_local_or_verified_connection(self):
        outside = self.pg.outside
        if not outside:
            self.skipTest("this machine has no address besides loopback")
        service_file = os.path.join(self.pg.dir, "pg_service.conf")
        with open(service_file, "w") as out:
            out.write(f"[ledger]\nhost={outside}\nport={self.pg.port}\ndbname=notavero\nuser=k5\n")
        own_hosts = self.own_hosts(self.pg.dir, "127.evil.example", outside)
        refusal = rf"refused the connection to .*\({re.escape(outside)}\).*no TLS"
        cases = [("service file", "service=ledger", ["env", f"PGSERVICEFILE={service_file}"], 5, refusal)]
        if own_hosts:
            # A name that looks local gets verify-full, which this server
            # cannot give; with a weaker mode the check after connecting refuses.
            evil = f"host=127.evil.example port={self.pg.port} dbname=notavero user=k6"
            cases.append(("127.evil.example", evil, own_hosts, 6, "SSL"))
            cases.append(("127.evil.example, sslmode=prefer", evil + " sslmode=prefer", own_hosts, 6, refusal))
        else:
            print("\n[no mount namespace here: the 127.evil.example case is left out]", flush=True)
        for what, conninfo, prefix, index, why in cases:
            with self.subTest(what):
                kiosk = self.kiosk(index, conninfo=conninfo, prefix=prefix)
                self.rounds([kiosk], 1)
                self.down(kiosk, why)
                kiosk["service"].stop()
                self.assertEqual(self.pg.psql(f"SELECT count(*) FROM events WHERE kiosk = 'k{index}'"), [["0"]])
                self.assertEqual(self.pg.psql(f"SELECT count(*) FROM journal_cursor WHERE kiosk = 'k{index}'"),
                                 [["0"]])
        # The server has no TLS; no session from the outside address is left.
        self.assertEqual(self.pg.psql("SHOW ssl"), [["off"]])
        wait_until(lambda: self.pg.psql("SELECT count(*) FROM pg_stat_ssl JOIN pg_stat_activity USING (pid) "
                                        f"WHERE client_addr = '{outside}'") == [["0"]],
                   "no session from the outside address")

    def test_a_password_in_the_connection_string_is_refused(self):
        refused = subprocess.run([SERVE, "--device", "/dev/null", "--state-dir", tempfile.gettempdir(), "--ledger",
                                  self.pg.conninfo + " password=secret"], capture_output=True, text=True,
                                 timeout=TIMEOUT)
        self.assertEqual(refused.returncode, 2)
        self.assertIn("a password in the connection string is refused", refused.stderr)
        self.assertNotIn("secret", refused.stderr)

    def test_other_secrets_and_the_config_file_are_refused_and_pgpassword_warned_of(self):
        for secret in ("sslpassword=secret",):
            refused = subprocess.run([SERVE, "--device", "/dev/null", "--state-dir", tempfile.gettempdir(),
                                      "--ledger", f"{self.pg.conninfo} {secret}"], capture_output=True, text=True,
                                     timeout=TIMEOUT)
            self.assertEqual(refused.returncode, 2, refused)
            self.assertIn(f"{secret.split('=')[0]} in the connection string is refused", refused.stderr)
            self.assertNotIn("secret", refused.stderr)
        with tempfile.NamedTemporaryFile("w", suffix=".conf") as config:
            config.write(f"device = /dev/null\nledger = postgresql://ledger:secret@{self.pg.dir.replace('/', '%2F')}"
                         f":{self.pg.port}/notavero\n")
            config.flush()
            refused = subprocess.run([SERVE, "--config", config.name, "--state-dir", tempfile.gettempdir()],
                                     capture_output=True, text=True, timeout=TIMEOUT)
            self.assertEqual(refused.returncode, 2, refused)
            self.assertIn("a password in the connection string is refused", refused.stderr)
        # Only a warning: the password file is the place, but the variable works.
        warned = subprocess.run([SERVE, "ledger", "init", "--ledger", self.pg.conninfo], capture_output=True,
                                text=True, timeout=TIMEOUT,
                                env={**os.environ, "PGPASSWORD": "secret"})
        self.assertIn("warning: PGPASSWORD is set", warned.stderr)
        self.assertEqual(warned.returncode, 0, warned)


if __name__ == "__main__":
    unittest.main()
