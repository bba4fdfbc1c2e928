"""The programs of examples/ run as a newcomer runs them, against
notavero-sim: each takes bills until a price is paid, across a power cut of
the device between two bills (after which acceptance must come back on:
by itself for nv_open hosts, asked for again by a GetDriver host).  And the
code blocks of README.md and docs/ that are cut from an example must still
be found in it."""

import os
import pathlib
import queue
import re
import subprocess
import sys
import tempfile
import threading
import time
import unittest

ROOT = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
sys.path.insert(0, str(ROOT / "bindings" / "python"))
from tests import children  # noqa: E402  (the Python package's test helpers)
from tests.support import TIMEOUT, Simulator, child_environment  # noqa: E402

KIOSK = os.environ.get("NOTAVERO_EXAMPLE_KIOSK") or str(ROOT / "build" / "tests" / "examples" / "example_kiosk")
GET_DRIVER = os.environ.get("NOTAVERO_EXAMPLE_GET_DRIVER") or str(
    ROOT / "build" / "tests" / "examples" / "example_get_driver")


class Program:
    """An example running with its stdout read line by line."""

    def __init__(self, args, env):
        self.process = children.popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
        self.lines, self.seen = queue.Queue(), []
        threading.Thread(target=lambda: [self.lines.put(line.rstrip("\n")) for line in self.process.stdout],
                         daemon=True).start()

    def wait_for(self, line):
        """Waits until the program prints `line` (whole)."""
        while line not in self.seen:
            try:
                self.seen.append(self.lines.get(timeout=TIMEOUT))
            except queue.Empty:
                raise AssertionError(f"no line {line!r} in {TIMEOUT:g} s; printed: {self.seen}") from None

    def finish(self):
        """Waits for the end; returns the exit status and stderr."""
        try:
            self.process.wait(timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        return self.process.returncode, self.process.stderr.read()


class ExamplesTest(children.TestCase):
    def setUp(self):
        super().setUp()
        self.dir = pathlib.Path(self.enterContext(tempfile.TemporaryDirectory(prefix="notavero-examples-")))
        self.sim = Simulator()
        self.addCleanup(self.sim.close)
        self.env = child_environment()
        self.env.update(NOTAVERO_LOG=str(self.dir / "Notavero.log"), NOTAVERO_COM5=self.sim.path,
                        PYTHONPATH=str(ROOT / "bindings" / "python"))

    def pay(self, args, paid_lines, done_line):
        """Runs an example for a price of 150: a 100 note, a power cut of the
        device, another 100 once the device waits again.  Returns what the
        example printed."""
        program = Program(args, self.env)
        self.sim.command("wait-state 14 60000")
        self.sim.command("insert 4")
        program.wait_for(paid_lines[0])
        self.sim.command("power-cycle")
        self.sim.command("wait-state 14 60000")  # the example (or its driver) enables acceptance again
        self.sim.command("insert 4")
        program.wait_for(paid_lines[1])
        program.wait_for(done_line)
        status, err = program.finish()
        self.assertEqual(status, 0, err)
        # Acceptance left off.  The driver's last frame may still be on its way
        # to the simulator when the program has ended: the simulator's account
        # is read until it shows the disable, or the time is up.
        deadline = time.monotonic() + TIMEOUT
        while (sim := self.sim.numbers())["enabled"] != "000000" and time.monotonic() < deadline:
            self.sim.command("sleep 50")
        self.assertEqual(sim["enabled"], "000000")
        self.assertEqual((sim["stacked"], sim["stacked_sum"]), (2, 200))
        return program.seen

    def test_c_kiosk_with_nv_open(self):
        seen = self.pay([KIOSK, self.sim.path, "150"], ["paid 100 of 150", "paid 200 of 150"],
                        "thank you; change due 50")
        self.assertIn("escrow 100: stack", seen)
        self.assertIn("state 10 power up", seen)  # the events name states in English
        self.assertIn("counters: 2 bills stacked, 200 in all, 0 returned, 0 rejected", seen)

    def test_get_driver_host_enables_when_the_device_is_disabled(self):
        seen = self.pay([GET_DRIVER, "5", "150"], ["paid 100 of 150", "paid 200 of 150"],
                        "thank you; change due 50")
        # Once after start, once after the power cut.
        self.assertEqual(seen.count("the device is disabled: enabling acceptance"), 2, seen)

    def test_python_kiosk(self):
        self.pay([sys.executable, str(EXAMPLES / "python" / "kiosk.py"), self.sim.path, "150"],
                 ["paid 100 of 150", "paid 200 of 150"], "thank you; change due 50")

    def test_python_asyncio_kiosk(self):
        seen = self.pay([sys.executable, str(EXAMPLES / "python" / "kiosk_asyncio.py"), self.sim.path, "150"],
                        ["paid 100 of 150", "paid 200 of 150"], "thank you; change due 50")
        self.assertIn("state disabled", seen)


# A code block of README.md or docs/*.md that is cut from an example follows
# a line `<!-- from examples/PATH -->`.  Its lines must appear in the file,
# in order and together; a line `...` (or `// ...`, `# ...`) stands for lines
# left out.
SNIPPET = re.compile(r"<!-- from (examples/\S+) -->\n```[a-z]*\n(.*?)```", re.S)
GAP = re.compile(r"^\s*(//|#)?\s*\.\.\.\s*$")


def chunks(snippet):
    chunk = []
    for line in snippet.splitlines():
        if GAP.match(line):
            if chunk:
                yield "\n".join(chunk)
            chunk = []
        else:
            chunk.append(line)
    if chunk:
        yield "\n".join(chunk)


class SnippetTest(unittest.TestCase):
    def test_every_snippet_is_cut_from_its_example(self):
        found = 0
        for page in [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]:
            for source, snippet in SNIPPET.findall(page.read_text(encoding="utf-8")):
                found += 1
                text = (ROOT / source).read_text(encoding="utf-8")
                position = 0
                for chunk in chunks(snippet):
                    with self.subTest(page=page.name, source=source, chunk=chunk.splitlines()[0]):
                        at = text.find(chunk, position)
                        self.assertNotEqual(at, -1, f"{page.name}: this part of a snippet is no longer in {source}:\n"
                                                    f"{chunk}")
                        position = max(position, at + len(chunk))
        # The README's quick starts at least: C, Python and the web page.
        self.assertGreaterEqual(found, 3)


if __name__ == "__main__":
    unittest.main()
