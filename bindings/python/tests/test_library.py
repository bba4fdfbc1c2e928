"""Where the package looks for the driver library, and what it says when
none loads."""

import ctypes.util
import dataclasses
import os
import pathlib
import runpy
import tempfile
import unittest

import notavero
from notavero import _library

PACKAGE_DIR = pathlib.Path(notavero.__file__).resolve().parent


class CandidatesTest(unittest.TestCase):
    def test_environment_variable_is_the_only_candidate(self):
        self.assertEqual(_library.candidates({"NOTAVERO_LIBRARY": "/opt/x/libnotavero.so"}),
                         ["/opt/x/libnotavero.so"])

    def test_beside_the_package_then_the_build_tree_then_the_loader(self):
        name = _library.LIBRARY_NAME
        self.assertEqual(_library.candidates({"NOTAVERO_LIBRARY": ""}), [
            str(PACKAGE_DIR / name),
            str(PACKAGE_DIR.parents[2] / "build" / name),
            *_library._SYSTEM_NAMES,
        ])
        self.assertEqual(_library._SYSTEM_NAMES[0], name)


class LoadTest(unittest.TestCase):
    def test_missing_file_is_named(self):
        missing = os.path.join(tempfile.gettempdir(), "no-such-dir", "libnotavero.so")
        with self.assertRaises(notavero.LibraryNotFoundError) as caught:
            _library.load({"NOTAVERO_LIBRARY": missing})
        self.assertIn(f"{missing}: no such file", str(caught.exception))
        self.assertIn("NOTAVERO_LIBRARY", str(caught.exception))

    def test_file_that_is_no_library(self):
        with tempfile.NamedTemporaryFile(suffix=".so") as junk:
            junk.write(b"not a shared object")
            junk.flush()
            with self.assertRaisesRegex(notavero.LibraryNotFoundError, junk.name):
                _library.load({"NOTAVERO_LIBRARY": junk.name})

    def test_library_without_the_c_api(self):
        other = ctypes.util.find_library("m")
        if other is None:
            self.skipTest("no C maths library to load")
        with self.assertRaisesRegex(notavero.LibraryNotFoundError, "not the driver library"):
            _library.load({"NOTAVERO_LIBRARY": other})

    def test_the_driver_library_loads(self):
        lib = _library.load()
        self.assertTrue(hasattr(lib, "nv_get_driver"))


class ContractTest(unittest.TestCase):
    """The package and the C header agree."""

    def test_counters_are_the_headers(self):
        header = _library.HEADER.read_text(encoding="utf-8")
        fields = _library.parse_counter_fields(header)
        self.assertIn("unconfirmed", fields)
        self.assertEqual(_library.COUNTER_FIELDS, fields)
        self.assertEqual([name for name, _ in _library.Counters._fields_],
                         ["size", "stacked", "stacked_amount", *fields, "last_answer_ms"])
        public = [field.name for field in dataclasses.fields(notavero.Counters)]
        self.assertEqual(public, ["stacked", "stacked_amount", "amount", *fields, "last_answer_ms"])

    def test_generated_field_lists_are_the_headers(self):
        # The wheel's (_build/notavero_build.py) and the system package's (cmake/InstallPython.cmake).
        backend = PACKAGE_DIR.parent / "_build" / "notavero_build.py"
        build = runpy.run_path(str(backend), run_name="notavero_build")
        self.assertEqual(build["counter_fields"](), _library.COUNTER_FIELDS)
        installed = pathlib.Path(os.environ.get("NOTAVERO_LIBRARY", "")).parent / "python" / "_counter_fields.py"
        if not installed.is_file():
            self.skipTest(f"no {installed}: not run from a CMake build")
        written = {}
        exec(installed.read_text(encoding="utf-8"), written)
        self.assertEqual(written["COUNTER_FIELDS"], _library.COUNTER_FIELDS)

    def test_state_texts_come_from_the_driver(self):
        self.assertEqual(notavero.State.DISABLED.text, "Выключен")
        self.assertEqual(notavero.DeviceState.of(0x0019).text, "Выключен")
        self.assertEqual(notavero.DeviceState.of(-1).text, "")
        with self.assertWarns(DeprecationWarning):
            self.assertEqual(notavero.DISABLED, notavero.State.DISABLED.text)
        with self.assertWarns(DeprecationWarning):
            self.assertEqual(notavero.WAITING_FOR_BILL, notavero.State.IDLING.text)
        with self.assertRaises(AttributeError):
            notavero.ENABLED


if __name__ == "__main__":
    unittest.main()
