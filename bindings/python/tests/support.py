"""The validator simulator as a subprocess on a pseudo-terminal, for tests."""

import codecs
import contextlib
import os
import pathlib
import queue
import subprocess
import tempfile
import threading

from . import children

REPOSITORY = pathlib.Path(__file__).resolve().parents[3]
SIM = os.environ.get("NOTAVERO_SIM") or str(REPOSITORY / "build" / "notavero-sim")
TIMEOUT = 30.0  # seconds; generous, for a loaded machine and sanitizers


_log_dirs = []


def private_log():
    """A test module's setUpModule: the driver's log goes to a directory of
    the module's own, removed by private_log_end (its tearDownModule)."""
    _log_dirs.append(tempfile.TemporaryDirectory())
    os.environ["NOTAVERO_LOG"] = os.path.join(_log_dirs[-1].name, "Notavero.log")


def private_log_end():
    while _log_dirs:
        _log_dirs.pop().cleanup()


class Output:
    """What a child writes on a pipe, as it comes, read by a thread of its
    own (a question ends no line): a test waits for the text it needs, with
    a time-out, and a failure shows everything the child wrote."""

    def __init__(self, stream):
        self._text = ""
        self._ended = False
        self._changed = threading.Condition()
        self._reader = threading.Thread(target=self._read, args=(stream,), daemon=True)
        self._reader.start()

    def _read(self, stream):
        decoder = codecs.getincrementaldecoder("utf-8")(errors="replace")
        try:
            while chunk := os.read(stream.fileno(), 4096):
                with self._changed:
                    self._text += decoder.decode(chunk)
                    self._changed.notify_all()
        except OSError:  # the pipe was closed under the reader
            pass
        with self._changed:
            self._ended = True
            self._changed.notify_all()

    def wait_for(self, text, after=0, timeout=TIMEOUT):
        """Waits for text at or beyond position `after`; returns where it
        ends.  Raises AssertionError, with the output, when the child closes
        the pipe or the time runs out first."""
        with self._changed:
            self._changed.wait_for(lambda: text in self._text[after:] or self._ended, timeout)
            found = self._text.find(text, after)
            if found < 0:
                state = "the pipe was closed" if self._ended else f"nothing more after {timeout:g} s"
                raise AssertionError(f"{text!r} did not come ({state}); the output was:\n{self._text}")
            return found + len(text)

    def all(self, timeout=TIMEOUT):
        """Everything, once the child has closed the pipe (or what came
        within `timeout`)."""
        self._reader.join(timeout)
        with self._changed:
            return self._text

    def so_far(self):
        with self._changed:
            return self._text

    def ended(self):
        """Whether the child has closed the pipe (it is ending, or has)."""
        with self._changed:
            return self._ended


def child_environment():
    """The environment for child processes: without a sanitizer runtime
    preloaded for this interpreter (the children bring their own)."""
    env = dict(os.environ)
    preload = env.pop("NOTAVERO_TEST_PRELOAD", None)
    if preload is not None and env.get("LD_PRELOAD") == preload:
        del env["LD_PRELOAD"]
    return env


class Simulator:
    """notavero-sim --fast; its pty path is .path, commands go to command().
    Started with children.popen(): a test derived from children.TestCase
    never leaves it running, whatever happens.  merge_stderr: its stderr
    goes with its stdout, so that a refused insert is seen in order."""

    def __init__(self, *options, merge_stderr=False):
        self._process = children.popen(
            [SIM, "--fast", *options],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT if merge_stderr else None,
            text=True,
            encoding="utf-8",
            env=child_environment(),
        )
        self.pid = self._process.pid
        try:
            self.path = self._process.stdout.readline().strip()
            if not self.path.startswith("/"):
                raise RuntimeError(f"{SIM} printed no pty path but {self.path!r} "
                                   f"(exit status {self._process.poll()})")
        except BaseException:
            children.kill(self._process)
            raise
        self._lines = queue.Queue()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for line in self._process.stdout:
            self._lines.put(line.rstrip("\n"))

    def command(self, line):
        self._process.stdin.write(line + "\n")
        self._process.stdin.flush()

    def _next_status(self):
        """Reads up to the next status line: it as a dict, and the lines before it."""
        before = []
        while True:
            line = self._lines.get(timeout=TIMEOUT)
            if line.startswith("state="):
                return dict(word.split("=", 1) for word in line.split(" text=")[0].split()), before
            before.append(line)

    def status(self):
        """The simulator's own account: state, bills stacked and returned."""
        self.command("status")
        return self._next_status()[0]

    @staticmethod
    def _numbers(status):
        return {**status, "state": int(status["state"], 16),
                **{key: int(status[key]) for key in ("stacked", "stacked_sum", "returned")}}

    def numbers(self):
        """status() with state (hex), stacked, stacked_sum and returned as ints."""
        return self._numbers(self.status())

    def insert(self, bill_type):
        """Inserts a bill; returns whether it was taken and numbers() just after."""
        self.command(f"insert {bill_type}")
        self.command("status")
        status, before = self._next_status()
        return any(line.startswith("insert: bill type") for line in before), self._numbers(status)

    def close(self):
        """Asks the simulator to quit; kills it when it does not."""
        try:
            if self._process.poll() is None:
                try:
                    self._process.stdin.write("quit\n")
                    self._process.stdin.flush()
                except (OSError, ValueError):
                    pass
                self._process.wait(timeout=TIMEOUT)
        finally:
            children.kill(self._process, close_pipes=False)
            self._reader.join(TIMEOUT)
            for stream in (self._process.stdin, self._process.stdout):
                with contextlib.suppress(OSError):
                    stream.close()
