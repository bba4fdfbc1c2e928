"""The package with the driver library inside it.

The version is the project's (the top-level CMakeLists.txt), written into
the built package as notavero/_version.py.  The library is the one this tree
has built: the file NOTAVERO_LIBRARY names when it is set, else build/'s
libnotavero.so (Notavero.dll on Windows).  It is copied beside the package's
modules, where the package looks first, so the wheel is for one platform.
"""

import atexit
import os
import pathlib
import re
import shutil
import sys
import tempfile

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

try:
    from setuptools.command.bdist_wheel import bdist_wheel  # setuptools 70.1 and later
except ImportError:
    from wheel.bdist_wheel import bdist_wheel

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent.parent
LIBRARY_NAME = {"win32": "Notavero.dll", "darwin": "libnotavero.dylib"}.get(sys.platform, "libnotavero.so")


def project_version():
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    return re.search(r"project\(notavero VERSION ([0-9]+\.[0-9]+\.[0-9]+)", text).group(1)


def built_library():
    path = pathlib.Path(os.environ.get("NOTAVERO_LIBRARY") or ROOT / "build" / LIBRARY_NAME)
    if not path.is_file():
        sys.exit(f"notavero: no driver library at {path}: build it first "
                 "(cmake --preset default && cmake --build --preset default --target notavero_shared) "
                 "or set NOTAVERO_LIBRARY to its path")
    return path


class BuildPy(build_py):
    def run(self):
        super().run()
        package = pathlib.Path(self.build_lib) / "notavero"
        shutil.copy(built_library(), package / LIBRARY_NAME)  # the file itself, not a link
        (package / "_version.py").write_text(f'__version__ = "{VERSION}"\n', encoding="utf-8")


class PlatformDistribution(Distribution):
    """Built as platform-specific: it carries the library."""

    def has_ext_modules(self):
        return True


class BdistWheel(bdist_wheel):
    """For any Python 3 on this platform: the package itself is pure Python
    over ctypes."""

    def get_tag(self):
        return "py3", "none", super().get_tag()[2]


VERSION = project_version()
# The build's intermediate files go to a directory of this run, not beside
# the sources.
SCRATCH = tempfile.mkdtemp(prefix="notavero-python-")
atexit.register(shutil.rmtree, SCRATCH, ignore_errors=True)
setup(
    version=VERSION,
    distclass=PlatformDistribution,
    cmdclass={"build_py": BuildPy, "bdist_wheel": BdistWheel},
    options={"build": {"build_base": SCRATCH}, "egg_info": {"egg_base": SCRATCH}},
)
