"""Where the package looks for the driver library, and what it says when
none loads."""

import ctypes.util
import os
import pathlib
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


if __name__ == "__main__":
    unittest.main()
