"""The notavero tool as a technician runs it: output, exit status, errors,
and `notavero run` against the simulator on a pseudo-terminal."""

import os
import pathlib
import re
import signal
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "bindings" / "python"))
from tests import children  # noqa: E402  (the Python package's test helpers)
from tests.support import TIMEOUT, Output, Simulator, child_environment  # noqa: E402

TOOL = os.environ.get("NOTAVERO_TOOL", "notavero")


def run(*args):
    return subprocess.run([TOOL, *args], capture_output=True, text=True, timeout=30)


class FrameTest(unittest.TestCase):
    FRAMES = {
        ("ack",): "02 03 06 00 C2 82",
        ("reset",): "02 03 06 30 41 B3",
        ("get-status",): "02 03 06 31 C8 A2",
        ("set-security", "FF", "FF", "FF"): "02 03 09 32 FF FF FF 6D 29",
        ("poll",): "02 03 06 33 DA 81",
        ("enable", "00", "00", "00", "00", "00", "00"): "02 03 0C 34 00 00 00 00 00 00 17 0C",
        ("enable", "00", "00", "FC", "00", "00", "FC"): "02 03 0C 34 00 00 FC 00 00 FC EB D1",
        ("stack",): "02 03 06 35 EC E4",
        ("return",): "02 03 06 36 77 D6",
        ("get-bill-table",): "02 03 06 41 4F D1",
    }

    def test_every_command_frame(self):
        for args, frame in self.FRAMES.items():
            with self.subTest(args=args):
                result = run("frame", *args)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stdout, frame + "\n")

    def test_parameters_may_be_packed(self):
        self.assertEqual(run("frame", "set-security", "ffffff").stdout, "02 03 09 32 FF FF FF 6D 29\n")

    def test_bad_input_exits_2_with_a_message(self):
        for args in (("nonsense",), ("enable", "00"), ("poll", "00"), ("set-security", "FF", "FF", "ZZ"), ()):
            with self.subTest(args=args):
                result = run("frame", *args)
                self.assertEqual(result.returncode, 2)
                self.assertEqual(result.stdout, "")
                self.assertIn("notavero: frame:", result.stderr)


class StateTest(unittest.TestCase):
    def test_texts_in_utf8(self):
        # The English name first, for technicians who do not read Russian.
        # The status as the log writes it first, whichever way it was given.
        cases = {
            "0019": "19-00 disabled: Выключен",
            "0x0280": "80-02 escrow: Принять купюру?",
            "0081": "81-00 stacked: Складирование купюры.",
            "051B": "1B-05 busy: Купюроприемник занят (еще 500 мс)",
            "681C": "1C-68 rejecting (inhibited denomination): Ошибка возврата стоимости",
            "26652": "1C-68 rejecting (inhibited denomination): Ошибка возврата стоимости",  # the service's decimal
            "6B1C": "1C-6B rejecting (unknown): Ошибка 1C6B",
            "5F47": "47-5F failure: Ошибка датчика емкости",
            "0041": "41-00 stacker full: Купюроприемник заполнен",
            "0C": "0C-00 unknown: Неизвестное состояние 0C00",
            "ffff": "FF-FF unknown: Неизвестное состояние FFFF",
        }
        for word, text in cases.items():
            with self.subTest(word=word):
                result = subprocess.run([TOOL, "state", word], capture_output=True, timeout=30)
                self.assertEqual(result.returncode, 0)
                self.assertEqual(result.stdout.decode("utf-8"), text + "\n")

    def test_status_as_the_log_writes_it_state_first(self):
        cases = {
            "47-5F": "47-5F failure: Ошибка датчика емкости",  # the word 5F47
            "1C-6B": "1C-6B rejecting (unknown): Ошибка 1C6B",
            "1B-05": "1B-05 busy: Купюроприемник занят (еще 500 мс)",
            "80-4": "80-04 escrow: Принять купюру?",
            "19-00": "19-00 disabled: Выключен",
        }
        for status, text in cases.items():
            with self.subTest(status=status):
                result = subprocess.run([TOOL, "state", status], capture_output=True, timeout=30)
                self.assertEqual(result.returncode, 0)
                self.assertEqual(result.stdout.decode("utf-8"), text + "\n")

    def test_help_says_which_byte_is_which(self):
        help_text = run("state", "--help").stdout
        self.assertIn("1C-68", help_text)
        self.assertIn("state byte first", help_text)
        self.assertIn("the state is the low byte", help_text)

    def test_bad_words_exit_2(self):
        for args in (("100000",), ("70000",), ("xyz",), ("",), ("0x",), ("12", "34"), (), ("1C-",), ("-68",), ("1C-680",),
                     ("1C-6G",), ("0x1C-68",), ("1C-68-00",)):
            with self.subTest(args=args):
                result = run("state", *args)
                self.assertEqual(result.returncode, 2)
                self.assertIn("notavero: state:", result.stderr)


class DecodeTest(unittest.TestCase):
    def test_poll_reply(self):
        result = run("decode", "02 03 07 80 02 9E 10")
        self.assertEqual(result.returncode, 0)
        self.assertIn("length: good", result.stdout)
        self.assertIn("crc: good", result.stdout)
        self.assertIn("state 80-02 escrow: Принять купюру?", result.stdout)

    def test_sent_frame_without_spaces(self):
        result = run("decode", "02030C340000FC0000FCEBD1")
        self.assertEqual(result.returncode, 0)
        self.assertIn("as sent by the driver: enable 00 00 FC 00 00 FC", result.stdout)

    def test_bad_crc_and_bad_length_exit_1(self):
        result = run("decode", "02 03 06 33 81 DA")
        self.assertEqual(result.returncode, 1)
        self.assertIn("crc: bad", result.stdout)
        result = run("decode", "02 03 07 33 DA 81")
        self.assertEqual(result.returncode, 1)
        self.assertIn("length: bad", result.stdout)

    def test_not_hex_exits_2(self):
        result = run("decode", "02 03 0G")
        self.assertEqual(result.returncode, 2)
        self.assertIn("notavero: decode:", result.stderr)


class RunTest(children.TestCase):
    """notavero run on the simulator's pseudo-terminal; the simulator puts a
    100 note in as soon as acceptance is on."""

    def start(self, *options):
        self.sim = Simulator()
        self.addCleanup(self.sim.close)
        log_dir = tempfile.TemporaryDirectory()
        self.addCleanup(log_dir.cleanup)
        env = child_environment()
        env.update(NOTAVERO_COM7=self.sim.path, NOTAVERO_LOG=os.path.join(log_dir.name, "Notavero.log"))
        # stdin stays open and silent: a question waits.
        tool = children.popen([TOOL, "run", "--port", "7", *options], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        self.addCleanup(children.kill, tool)
        self.sim.command("wait-state 14 60000")  # generous: the driver starts on a loaded machine
        self.sim.command("insert 4")
        return tool, Output(tool.stdout)

    def interrupt(self, tool, out):
        """Ctrl-C; returns all the tool printed once it has ended with 0."""
        tool.send_signal(signal.SIGINT)
        self.assertEqual(tool.wait(timeout=TIMEOUT), 0, tool.stderr.read().decode())
        return out.all()

    def test_ctrl_c_at_the_question_returns_the_bill_and_frees_the_driver(self):
        tool, out = self.start("--ask")
        out.wait_for("stack the bill of 100? [y/n] ")
        text = self.interrupt(tool, out)
        lines = text.splitlines()
        # The question has its line to itself (state lines that come while
        # it waits follow it).
        self.assertIn("stack the bill of 100? [y/n] ", lines, text)
        # The driver returned the bill and reported it before it was freed.
        self.assertRegex(text, r"interrupted: the bill goes back\n.*escrow: 100 -> return\n")
        self.assertRegex(text, r"returned: 100\n")
        self.assertEqual(lines[-1], "stopped: 0 stacked, 1 returned, 0 credited")
        status = self.sim.status()
        self.assertEqual((status["returned"], status["stacked"]), ("1", "0"))

    def test_ctrl_c_frees_the_driver_and_prints_the_total(self):
        tool, out = self.start()  # stacks every bill
        out.wait_for("stacked: 100, credited 100\n")
        text = self.interrupt(tool, out)
        self.assertEqual(text.splitlines()[-1], "stopped: 1 stacked, 0 returned, 100 credited")
        self.assertEqual(self.sim.status()["stacked"], "1")


class RunDeviceTest(children.TestCase):
    """notavero run --device on the simulator's stable link, across a pulled
    and plugged line."""

    def test_states_rejection_link_and_counters(self):
        directory = tempfile.TemporaryDirectory()
        self.addCleanup(directory.cleanup)
        link = os.path.join(directory.name, "validator")
        sim = Simulator("--link", link)
        self.addCleanup(sim.close)
        env = child_environment()
        env.update(NOTAVERO_LOG=os.path.join(directory.name, "Notavero.log"))
        tool = children.popen([TOOL, "run", "--device", link], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, env=env)
        self.addCleanup(children.kill, tool)
        out = Output(tool.stdout)
        out.wait_for(f"driver v1.0#Notavero on {link}\n")
        # Each state change on a line: the code, the English name, the device's text.
        at = out.wait_for(" state 14 idling: Ожидается вставка купюры\n")
        sim.command("insert 4")  # 100
        at = out.wait_for("stacked: 100, credited 100\n", at)
        at = out.wait_for(" state 14 idling:", at)
        sim.command("insert 0")  # a type without a value: refused by the device
        at = out.wait_for(" state 1C-68 rejecting: ", at)
        at = out.wait_for(" rejected: inhibited denomination (reason 68)\n", at)
        sim.command("garbage 50")  # noise on the line, as a wrong baud rate gives
        sim.command("bad-crc 6")
        at = out.wait_for(" link: no answer\n", at)
        at = out.wait_for(" hint: the device answers, but its replies do not check out", at)
        at = out.wait_for(" link: online\n", at)
        sim.command("unplug")
        at = out.wait_for(" link: port lost\n", at)
        sim.command("replug")
        at = out.wait_for(" link: online\n", at)
        out.wait_for(" state 14 idling:", at)  # acceptance is on again

        tool.send_signal(signal.SIGINT)
        self.assertEqual(tool.wait(timeout=TIMEOUT), 0, tool.stderr.read().decode())
        text = out.all()
        self.assertEqual(len(re.findall(r"^\S+ rejected: ", text, re.MULTILINE)), 1, text)  # once per bill
        counters = text[text.index("counters:\n"):]
        for line in ("stacked by value: 100 x1", "stacked amount: 100", "returned: 0", "rejected: 1",
                     "power-ups: 1", "reconnects: 1", "unconfirmed: 0"):
            self.assertIn(f"\n  {line}\n", counters)
        self.assertEqual(text.splitlines()[-1], "stopped: 1 stacked, 0 returned, 100 credited")
        self.assertEqual(sim.status()["stacked_sum"], "100")

        # The log of that run, read back from its directory: another
        # program's *.log there is not the driver's and is left alone; the
        # reasons and the timeline's lines name what they are in English and
        # which port they are about.
        with open(os.path.join(directory.name, "prom.log"), "w") as stray:
            stray.write("level=info ts=2024-12-08T10:00:00Z msg=\"not the driver's\"\n")
        result = run("log", "--timeline", directory.name)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("\nskipped lines: 0\n", result.stdout)
        self.assertIn("\n  68 inhibited denomination: Ошибка возврата стоимости x 1\n", result.stdout)
        self.assertRegex(result.stdout, r"\n\S+ \S+  \[%s\]  Poll -> 1C rejecting 68 inhibited denomination "
                                        % re.escape(link))

    def test_exactly_one_of_port_and_device(self):
        for args in ((), ("--port", "7", "--device", "/dev/null"), ("--device", "")):
            with self.subTest(args=args):
                result = run("run", *args)
                self.assertEqual(result.returncode, 2)
                self.assertIn("notavero: run:", result.stderr)

    def test_a_device_that_cannot_be_opened_is_named(self):
        result = run("run", "--device", "/nonexistent/ttyUSB9")
        self.assertEqual(result.returncode, 1)
        self.assertIn("/nonexistent/ttyUSB9", result.stderr)


class HelpTest(unittest.TestCase):
    def test_help_everywhere(self):
        for args in (("--help",), ("frame", "--help"), ("state", "--help"), ("decode", "--help"), ("run", "--help")):
            with self.subTest(args=args):
                result = run(*args)
                self.assertEqual(result.returncode, 0)
                self.assertIn("usage: notavero", result.stdout)

    def test_unknown_subcommand(self):
        result = run("fly")
        self.assertEqual(result.returncode, 2)
        self.assertIn("unknown subcommand", result.stderr)


if __name__ == "__main__":
    unittest.main()
