"""The notavero-sim program as a host developer runs it: over a real
pseudo-terminal, with commands on stdin and in a script."""

import os
import pathlib
import queue
import re
import select
import signal
import subprocess
import sys
import tempfile
import threading
import time
import tty
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "bindings" / "python"))
from tests import children  # noqa: E402  (no child outlives its test)

SIM = os.environ.get("NOTAVERO_SIM", "notavero-sim")
TIMEOUT = 30  # seconds; generous, for loaded machines and sanitizers


def crc16(data):
    crc = 0
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8408 if crc & 1 else crc >> 1
    return crc


def frame(*payload):
    body = bytes([0x02, 0x03, len(payload) + 5, *payload])
    crc = crc16(body)
    return body + bytes([crc & 0xFF, crc >> 8])


def crc_good(data):
    return len(data) >= 5 and crc16(data[:-2]) == data[-2] | (data[-1] << 8)


POLL, ACK, RESET, STACK, RETURN, BILL_TABLE, ENABLE = 0x33, 0x00, 0x30, 0x35, 0x36, 0x41, 0x34
ACK_FRAME = bytes.fromhex("020306 00 C282")


class Sim:
    """One notavero-sim process and the driver's end of its line."""

    def __init__(self, *args, open_line=True):
        self.fd = None
        self.proc = children.popen([SIM, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True, bufsize=1)
        self.out = queue.Queue()
        self.err = queue.Queue()
        for stream, lines in ((self.proc.stdout, self.out), (self.proc.stderr, self.err)):
            threading.Thread(target=self._pump, args=(stream, lines), daemon=True).start()
        try:
            self.path = self.out.get(timeout=TIMEOUT).strip()
            if open_line:
                self.fd = os.open(self.path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
                tty.setraw(self.fd)
        except BaseException:
            children.kill(self.proc, close_pipes=False)
            raise

    @staticmethod
    def _pump(stream, lines):
        for line in stream:
            lines.put(line.rstrip("\n"))
        lines.put(None)

    def close(self):
        if self.fd is not None:
            os.close(self.fd)
        children.kill(self.proc, close_pipes=False)  # its group, and reaps it
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            stream.close()

    def command(self, line, stream=None):
        """Sends one stdin command; returns the line it prints (stdout by default)."""
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        return (stream or self.out).get(timeout=TIMEOUT)

    def read(self, count, timeout=TIMEOUT):
        """Reads until `count` bytes have come (a pty read may return part of
        a frame), the time runs out or the simulator hangs up; returns what
        came."""
        data = b""
        end = time.monotonic() + timeout
        while len(data) < count:
            left = end - time.monotonic()
            if left <= 0:
                break
            ready, _, _ = select.select([self.fd], [], [], left)
            if not ready:
                continue
            try:
                chunk = os.read(self.fd, count - len(data))
            except (BlockingIOError, InterruptedError):
                continue  # readable, but the bytes are not there yet
            except OSError:  # the simulator has gone
                break
            if not chunk:
                break
            data += chunk
        return data

    def reply(self):
        """Reads one whole frame by its length byte."""
        head = self.read(3)
        if len(head) < 3:
            return head
        return head + self.read(max(0, head[2] - 3))

    def exchange(self, *payload):
        os.write(self.fd, frame(*payload))
        return self.reply()

    def poll_ack(self):
        reply = self.exchange(POLL)
        os.write(self.fd, frame(ACK))
        return reply

    def poll_until(self, state, timeout=TIMEOUT, acknowledge=True):
        """Polls as a driver does until the device reports `state`; without
        `acknowledge`, a report stays until something else acknowledges it."""
        seen = []
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            reply = self.poll_ack() if acknowledge else self.exchange(POLL)
            got = reply[3] if len(reply) > 3 else None
            if not seen or seen[-1] != got:
                seen.append(got)
            if got == state:
                return reply, seen
        raise AssertionError("state %02X not reached; polls saw %s" % (state, seen))

    def to_waiting(self):
        self.exchange(RESET)
        self.poll_until(0x19)
        self.exchange(ENABLE, 0, 0, 0xFC, 0, 0, 0xFC)


class WhatMustShow(children.TestCase):
    def test_poll_reset_table_enable_insert_escrow_stack_stacked_status(self):
        sim = Sim()  # paced as a 9600-baud line, as a user runs it
        self.addCleanup(sim.close)
        self.assertRegex(sim.path, r"^/dev/")

        reply = sim.exchange(POLL)
        self.assertEqual(reply, frame(0x10))
        self.assertEqual(reply[:4], bytes([0x02, 0x03, 0x06, 0x10]))
        os.write(sim.fd, frame(ACK))
        self.assertEqual(sim.exchange(RESET), ACK_FRAME)
        _, seen = sim.poll_until(0x19)
        self.assertIn(0x13, seen)

        table = sim.exchange(BILL_TABLE)
        self.assertEqual(len(table), 125, f"the reply to the table request: {table.hex(' ')}")
        self.assertTrue(crc_good(table), table.hex(" "))
        entries = [table[3 + 5 * i: 8 + 5 * i] for i in range(24)]
        self.assertEqual(entries[4], bytes([1]) + b"RUS" + bytes([2]))  # 1 x 10^2 = 100
        os.write(sim.fd, frame(ACK))

        self.assertEqual(sim.exchange(ENABLE, 0, 0, 0xFC, 0, 0, 0xFC), ACK_FRAME)
        self.assertEqual(sim.poll_ack(), frame(0x14))

        self.assertIn("insert", sim.command("insert 4"))
        self.assertEqual(sim.poll_ack(), frame(0x15))
        reply, _ = sim.poll_until(0x80)
        self.assertEqual(reply, frame(0x80, 4))
        self.assertEqual(sim.exchange(STACK), ACK_FRAME)
        self.assertEqual(sim.poll_ack(), frame(0x17))
        reply, _ = sim.poll_until(0x81)
        self.assertEqual(reply, frame(0x81, 4))
        self.assertEqual(sim.poll_ack(), frame(0x14))  # the Ack ended the event

        status = sim.command("status")
        self.assertIn("stacked=1 ", status)
        self.assertIn("stacked_sum=100 ", status)
        self.assertIn("enabled=0000FC", status)
        self.assertIn("state=14", status)

        sim.proc.stdin.write("quit\n")
        sim.proc.stdin.flush()
        self.assertEqual(sim.proc.wait(timeout=TIMEOUT), 0)


class Program(children.TestCase):
    def start(self, *args, open_line=True):
        sim = Sim("--fast", *args, open_line=open_line)
        self.addCleanup(sim.close)
        return sim

    def test_unknown_command_says_so_and_changes_nothing(self):
        sim = self.start()
        before = sim.command("status")
        message = sim.command("launch rocket", stream=sim.err)
        self.assertIn("unknown command 'launch'", message)
        self.assertIn("insert", sim.command("insert 99", stream=sim.err))
        self.assertEqual(sim.command("status"), before)
        self.assertEqual(sim.exchange(POLL), frame(0x10))

    def test_faults_from_stdin_show_on_the_line(self):
        sim = self.start()
        sim.command("bad-crc 1")
        reply = sim.exchange(POLL)
        self.assertEqual(reply[:4], bytes([0x02, 0x03, 0x06, 0x10]))
        self.assertFalse(crc_good(reply))
        sim.command("garbage 5")
        os.write(sim.fd, frame(POLL))
        data = sim.read(11)
        self.assertNotIn(0x02, data[:5])
        self.assertEqual(data[5:], frame(0x10))
        sim.command("silent 1")
        os.write(sim.fd, frame(POLL))
        self.assertEqual(sim.read(1, timeout=0.3), b"")
        self.assertEqual(sim.exchange(POLL), frame(0x10))
        sim.command("failure 53")
        self.assertEqual(sim.exchange(POLL), frame(0x47, 0x53))
        sim.command("clear")
        sim.command("power-cycle 11")
        self.assertEqual(sim.exchange(POLL), frame(0x11))

    def test_return_and_a_table_with_a_value_the_driver_never_enables(self):
        with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as table:
            table.write("-\n-\n1 RUS 1\n5 RUS 1\n1 RUS 2\n5 RUS 2\n1 RUS 3\n5 RUS 3\n2 RUS 2  # 200\n")
        self.addCleanup(os.unlink, table.name)
        sim = self.start("--table", table.name)
        sim.to_waiting()
        reply = sim.exchange(BILL_TABLE)
        self.assertEqual(reply[3 + 5 * 8: 8 + 5 * 8], bytes([2]) + b"RUS" + bytes([2]))
        self.assertIn("not enabled", sim.command("insert 8"))
        reply, _ = sim.poll_until(0x1C)
        self.assertEqual(reply, frame(0x1C, 0x68))
        self.assertEqual(sim.poll_ack(), frame(0x14))
        sim.command("insert 7")
        sim.poll_until(0x80)
        self.assertEqual(sim.exchange(RETURN), ACK_FRAME)
        reply, _ = sim.poll_until(0x82)
        self.assertEqual(reply, frame(0x82, 7))
        status = sim.command("status")
        self.assertIn("stacked=0 stacked_sum=0 returned=1 returned_sum=5000", status)

    def script(self, text):
        with tempfile.NamedTemporaryFile("w", suffix=".sim", delete=False) as script:
            script.write(text)
        self.addCleanup(os.unlink, script.name)
        return script.name

    def test_script_waits_for_a_state_then_inserts(self):
        sim = self.start("--script", self.script("# insert a bill as soon as the host is ready\n"
                                                 "wait-state 14\nsleep 10\ninsert 3\nwait-state 81\nstatus\n"))
        sim.to_waiting()
        reply, _ = sim.poll_until(0x80)
        self.assertEqual(reply, frame(0x80, 3))
        sim.exchange(STACK)
        # The stacked report is polled but not acknowledged, so the device stays in it
        # however late the script's thread starts its wait for it.
        sim.poll_until(0x81, acknowledge=False)
        lines = []
        while not lines or not lines[-1].startswith("state="):
            try:
                lines.append(sim.out.get(timeout=TIMEOUT))
            except queue.Empty:
                self.fail("no status line from the script; it printed %s" % lines)
        self.assertIn("stacked=1 stacked_sum=50 ", lines[-1])

    def test_quit_in_a_script_ends_the_program(self):
        # Its line is not opened: the program may be gone before the test could.
        sim = self.start("--script", self.script("quit\nfull\n"), open_line=False)
        self.assertEqual(sim.proc.wait(timeout=TIMEOUT), 0)

    def test_start_options(self):
        sim = self.start("--power-up", "12")
        self.assertEqual(sim.exchange(POLL), frame(0x12))
        sim = self.start("--start-disabled")
        self.assertEqual(sim.exchange(POLL), frame(0x19))

    def test_trace_file_lists_frames_both_ways(self):
        directory = tempfile.mkdtemp()
        path = os.path.join(directory, "trace.txt")
        sim = self.start("--trace", path)
        sim.exchange(POLL)
        sim.proc.send_signal(signal.SIGTERM)
        self.assertEqual(sim.proc.wait(timeout=TIMEOUT), 0)
        with open(path) as trace:
            lines = trace.read().splitlines()
        self.assertRegex(lines[0], r"^\d+\.\d{6} RX 02 03 06 33 DA 81$")
        self.assertRegex(lines[1], r"^\d+\.\d{6} TX 02 03 06 10 43 92$")
        os.unlink(path)
        os.rmdir(directory)

    def test_stdin_end_keeps_serving_unless_told_to_exit(self):
        sim = self.start()
        sim.proc.stdin.close()
        self.assertEqual(sim.exchange(POLL), frame(0x10))
        self.assertIsNone(sim.proc.poll())
        sim.proc.send_signal(signal.SIGINT)
        self.assertEqual(sim.proc.wait(timeout=TIMEOUT), 0)
        sim.proc.stdin = open(os.devnull, "w")  # for close()

        sim = self.start("--exit-on-eof")
        sim.proc.stdin.write("full\n")
        sim.proc.stdin.close()
        self.assertEqual(sim.proc.wait(timeout=TIMEOUT), 0)
        self.assertIn("full", sim.out.get(timeout=TIMEOUT))
        sim.proc.stdin = open(os.devnull, "w")

    def test_signal_ends_a_long_wait(self):
        sim = self.start("--script", self.script("wait-state 80 600000\n"))
        self.assertEqual(sim.exchange(POLL), frame(0x10))
        sim.proc.send_signal(signal.SIGTERM)
        self.assertEqual(sim.proc.wait(timeout=TIMEOUT), 0)

    def test_serves_a_given_device_and_ends_when_the_line_goes(self):
        master, slave = os.openpty()  # the test is the host at the other end of the "cable"
        path = os.ttyname(slave)
        os.close(slave)
        proc = children.popen([SIM, "--fast", "--device", path], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(children.kill, proc)
        try:
            self.assertEqual(proc.stdout.readline().strip(), path)
            tty.setraw(master)
            os.write(master, frame(POLL))
            data = b""
            while len(data) < 6:
                ready, _, _ = select.select([master], [], [], TIMEOUT)
                self.assertTrue(ready, "no reply on the device")
                data += os.read(master, 6 - len(data))
            self.assertEqual(data, frame(0x10))
        finally:
            os.close(master)
        self.assertEqual(proc.wait(timeout=TIMEOUT), 1)
        self.assertIn(path, proc.stderr.read())
        for stream in (proc.stdin, proc.stdout, proc.stderr):
            stream.close()

    def test_unplug_and_replug_keep_the_device_and_repoint_the_link(self):
        directory = tempfile.mkdtemp()
        self.addCleanup(os.rmdir, directory)
        link = os.path.join(directory, "validator")
        sim = self.start("--link", link)
        self.assertEqual(os.readlink(link), sim.path)
        sim.to_waiting()
        sim.command("insert 4")
        sim.poll_until(0x80)

        self.assertIn("unplug", sim.command("unplug"))
        ready, _, _ = select.select([sim.fd], [], [], TIMEOUT)  # the driver's side hangs up
        self.assertTrue(ready)
        with self.assertRaises(OSError):
            os.write(sim.fd, frame(POLL))
        self.assertFalse(os.path.lexists(link))
        status = sim.command("status")
        self.assertIn("state=80 sub=04 enabled=0000FC ", status)
        self.assertIn(" line=unplugged ", status)
        self.assertIn("already", sim.command("unplug", stream=sim.err))
        os.close(sim.fd)

        new_path = re.fullmatch(r"replug: (/dev/\S+) .*", sim.command("replug")).group(1)
        self.assertEqual(os.readlink(link), new_path)
        sim.fd = os.open(link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        tty.setraw(sim.fd)
        self.assertEqual(sim.poll_ack(), frame(0x80, 4))  # the bill waited in escrow
        self.assertEqual(sim.exchange(STACK), ACK_FRAME)
        sim.poll_until(0x81)
        status = sim.command("status")
        self.assertIn("stacked=1 stacked_sum=100 ", status)
        self.assertIn(" line=%s replugs=1 " % new_path, status)

        sim.proc.stdin.write("quit\n")
        sim.proc.stdin.flush()
        self.assertEqual(sim.proc.wait(timeout=TIMEOUT), 0)
        self.assertFalse(os.path.lexists(link))

    def test_link_never_replaces_a_file_nor_goes_with_a_device(self):
        with tempfile.NamedTemporaryFile("w", delete=False) as keep:
            keep.write("precious\n")
        self.addCleanup(os.unlink, keep.name)
        result = subprocess.run([SIM, "--link", keep.name], capture_output=True, text=True, timeout=TIMEOUT,
                                stdin=subprocess.DEVNULL)
        self.assertEqual(result.returncode, 1)
        self.assertIn(keep.name, result.stderr)
        with open(keep.name) as kept:
            self.assertEqual(kept.read(), "precious\n")
        result = subprocess.run([SIM, "--link", keep.name + ".link", "--device", "/dev/null"],
                                capture_output=True, text=True, timeout=TIMEOUT, stdin=subprocess.DEVNULL)
        self.assertEqual(result.returncode, 2)
        self.assertFalse(os.path.lexists(keep.name + ".link"))

    def test_help_and_bad_options(self):
        result = subprocess.run([SIM, "--help"], capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual(result.returncode, 0)
        for word in ("--device", "--script", "--trace", "--fast", "insert N", "power-cycle", "silent N",
                     "bad-crc N", "garbage N", "split", "delay MS", "bad-length", "jam", "cassette-missing",
                     "full", "failure HEX", "busy N", "clear", "status", "quit", "sleep MS", "wait-state HEX", "--link", "unplug", "replug"):
            self.assertIn(word, result.stdout)
        for args in (["--bogus"], ["--device"], ["--power-up", "19"]):
            result = subprocess.run([SIM, *args], capture_output=True, text=True, timeout=TIMEOUT)
            self.assertEqual(result.returncode, 2, args)
            self.assertIn("notavero-sim:", result.stderr)
        result = subprocess.run([SIM, "--device", "/nonexistent/ttyS9"], capture_output=True, text=True,
                                timeout=TIMEOUT, stdin=subprocess.DEVNULL)
        self.assertEqual(result.returncode, 1)
        self.assertIn("/nonexistent/ttyS9", result.stderr)


if __name__ == "__main__":
    unittest.main()
