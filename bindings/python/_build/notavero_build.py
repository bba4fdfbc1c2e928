"""The Python package's build, with nothing but the standard library, so
that `pip install bindings/python` works in a plain venv with no network
(pip's isolated build environment gets nothing to install: requires = []).

The wheel holds the package's modules, notavero/_version.py with the
project's version (the top-level CMakeLists.txt), notavero/_counter_fields.py
with the counters' fields of driver/notavero.h, and the driver library this
tree has built: the file NOTAVERO_LIBRARY names when it is set, else build/'s
libnotavero.so (Notavero.dll on Windows), copied beside the modules, where
the package looks first.  It is tagged py3-none-PLATFORM: pure Python over
ctypes, for any Python 3 on the platform of the library it carries.
"""

import base64
import hashlib
import os
import pathlib
import re
import runpy
import sys
import sysconfig
import zipfile

HERE = pathlib.Path(__file__).resolve().parent.parent
ROOT = HERE.parent.parent
LIBRARY_NAME = {"win32": "Notavero.dll", "darwin": "libnotavero.dylib"}.get(sys.platform, "libnotavero.so")
NAME = "notavero"


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


def counter_fields():
    """The counts of nv_counters, as the header of the library lists them
    (NV_COUNTER_LIST), read by the package's own reader."""
    reader = runpy.run_path(str(HERE / NAME / "_library.py"), run_name="notavero_library_reader")
    return reader["parse_counter_fields"]((ROOT / "driver" / "notavero.h").read_text(encoding="utf-8"))


def platform_tag():
    return re.sub(r"[^A-Za-z0-9]", "_", sysconfig.get_platform())


def metadata(version):
    return (f"Metadata-Version: 2.1\nName: {NAME}\nVersion: {version}\n"
            "Summary: Python interface of the notavero banknote validator driver\n"
            "Requires-Python: >=3.9\n")


def wheel_file():
    return ("Wheel-Version: 1.0\nGenerator: notavero_build\nRoot-Is-Purelib: false\n"
            f"Tag: py3-none-{platform_tag()}\n")


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}\n"


# ---- the PEP 517 hooks --------------------------------------------------
def get_requires_for_build_wheel(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    version = project_version()
    dist_info = pathlib.Path(metadata_directory) / f"{NAME}-{version}.dist-info"
    dist_info.mkdir(parents=True, exist_ok=True)
    (dist_info / "METADATA").write_text(metadata(version), encoding="utf-8")
    (dist_info / "WHEEL").write_text(wheel_file(), encoding="utf-8")
    return dist_info.name


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    version = project_version()
    files = {f"{NAME}/{source.name}": source.read_bytes() for source in sorted((HERE / NAME).glob("*.py"))}
    files[f"{NAME}/_version.py"] = f'__version__ = "{version}"\n'.encode()
    files[f"{NAME}/_counter_fields.py"] = f"COUNTER_FIELDS = {counter_fields()!r}\n".encode()
    files[f"{NAME}/{LIBRARY_NAME}"] = built_library().read_bytes()  # the file itself, not a link
    dist_info = f"{NAME}-{version}.dist-info"
    files[f"{dist_info}/METADATA"] = metadata(version).encode()
    files[f"{dist_info}/WHEEL"] = wheel_file().encode()
    record = "".join(_record_line(name, data) for name, data in files.items()) + f"{dist_info}/RECORD,,\n"
    files[f"{dist_info}/RECORD"] = record.encode()

    wheel_name = f"{NAME}-{version}-py3-none-{platform_tag()}.whl"
    with zipfile.ZipFile(pathlib.Path(wheel_directory) / wheel_name, "w", zipfile.ZIP_DEFLATED) as wheel:
        for name, data in files.items():
            info = zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0))
            info.external_attr = (0o755 if name.endswith(LIBRARY_NAME) else 0o644) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(info, data)
    return wheel_name
