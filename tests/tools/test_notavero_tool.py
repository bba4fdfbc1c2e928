"""The notavero tool as a technician runs it: output, exit status, errors."""

import os
import subprocess
import unittest

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
        cases = {
            "0019": "Выключен",
            "0x0280": "Принять купюру?",
            "0081": "Складирование купюры.",
            "051B": "Купюроприемник занят (еще 500 мс)",
            "6B1C": "Ошибка 1C6B",
            "5F47": "Ошибка датчика емкости",
            "0C": "Неизвестное состояние 0C00",
            "ffff": "Неизвестное состояние FFFF",
        }
        for word, text in cases.items():
            with self.subTest(word=word):
                result = subprocess.run([TOOL, "state", word], capture_output=True, timeout=30)
                self.assertEqual(result.returncode, 0)
                self.assertEqual(result.stdout.decode("utf-8"), text + "\n")

    def test_status_as_the_log_writes_it_state_first(self):
        cases = {
            "47-5F": "Ошибка датчика емкости",  # the word 5F47
            "1C-6B": "Ошибка 1C6B",
            "1B-05": "Купюроприемник занят (еще 500 мс)",
            "80-4": "Принять купюру?",
            "19-00": "Выключен",
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
        for args in (("10000",), ("xyz",), ("",), ("0x",), ("12", "34"), (), ("1C-",), ("-68",), ("1C-680",),
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
        self.assertIn("state 80-02: Принять купюру?", result.stdout)

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


class HelpTest(unittest.TestCase):
    def test_help_everywhere(self):
        for args in (("--help",), ("frame", "--help"), ("state", "--help"), ("decode", "--help")):
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
