"""Finding and loading the driver library, and the C API's prototypes."""

import ctypes
import os
import pathlib
import re
import sys
import threading
import typing

# int callback(int32_t kind, int64_t amount, void* user); plain C calling
# convention on every platform (the C API does not use __stdcall).
BILL_CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int32, ctypes.c_int64, ctypes.c_void_p)
# void callback(int32_t kind, int32_t code, void* user)
EVENT_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_int32, ctypes.c_int32, ctypes.c_void_p)

STACKED_TYPES = 24  # bill types counted in nv_counters.stacked
OPT_ACK_AFTER_CALLBACK, OPT_UTF8_ERROR = 1, 2  # nv_options.flags

_PACKAGE_DIR = pathlib.Path(__file__).resolve().parent
# bindings/python/notavero -> the repository's top, whose build/ holds the
# developer's build and driver/ the C header.
_ROOT = _PACKAGE_DIR.parent.parent.parent
_BUILD_DIR = _ROOT / "build"
HEADER = _ROOT / "driver" / "notavero.h"


def parse_counter_fields(header: str) -> typing.Tuple[str, ...]:
    """The uint32_t counts of nv_counters, in order, from NV_COUNTER_LIST in
    the text of driver/notavero.h."""
    body = re.search(r"#define NV_COUNTER_LIST\(X\)(.*?)\n\n", header, re.S)
    if body is None:
        raise ValueError("driver/notavero.h has no NV_COUNTER_LIST")
    return tuple(re.findall(r"\bX\((\w+),", body.group(1)))


def _counter_fields() -> typing.Tuple[str, ...]:
    try:  # written into the package when it is built (_build/notavero_build.py)
        from ._counter_fields import COUNTER_FIELDS
        return COUNTER_FIELDS
    except ImportError:  # the source tree: read from the header
        return parse_counter_fields(HEADER.read_text(encoding="utf-8"))


COUNTER_FIELDS = _counter_fields()


class Bill(ctypes.Structure):
    """nv_bill."""

    _fields_ = [
        ("size", ctypes.c_uint32),
        ("kind", ctypes.c_int32),
        ("amount", ctypes.c_int64),
        ("bill_type", ctypes.c_int32),
    ]


# int callback(const nv_bill* bill, void* user)
BILL_EX_CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(Bill), ctypes.c_void_p)


class Options(ctypes.Structure):
    """nv_options."""

    _fields_ = [
        ("size", ctypes.c_uint32),
        ("port", ctypes.c_uint8),
        ("device", ctypes.c_char_p),
        ("on_bill", BILL_CALLBACK),
        ("on_event", EVENT_CALLBACK),
        ("user", ctypes.c_void_p),
        ("flags", ctypes.c_uint32),
        ("on_bill_ex", BILL_EX_CALLBACK),
    ]


class Counters(ctypes.Structure):
    """nv_counters: its counts come from NV_COUNTER_LIST."""

    _fields_ = [
        ("size", ctypes.c_uint32),
        ("stacked", ctypes.c_uint32 * STACKED_TYPES),
        ("stacked_amount", ctypes.c_int64),
        *[(name, ctypes.c_uint32) for name in COUNTER_FIELDS],
        ("last_answer_ms", ctypes.c_int64),
    ]

if sys.platform == "win32":
    LIBRARY_NAME = "Notavero.dll"
elif sys.platform == "darwin":
    LIBRARY_NAME = "libnotavero.dylib"
else:
    LIBRARY_NAME = "libnotavero.so"
# The runtime package (libnotavero1) installs only the library's SONAME; the
# unversioned name comes with the -dev package.  The system's loader is asked
# for both, so that python3-notavero needs only the runtime package.
_SYSTEM_NAMES = [LIBRARY_NAME] + (["libnotavero.so.1"] if LIBRARY_NAME == "libnotavero.so" else [])



class LibraryNotFoundError(OSError):
    """No candidate of the driver library could be loaded."""


def candidates(environ: typing.Optional[typing.Mapping[str, str]] = None) -> typing.List[str]:
    """The places the library is looked for, in order.

    NOTAVERO_LIBRARY, when set, is the only one: a path given on purpose must
    not be replaced silently by another copy of the library.
    """
    environ = os.environ if environ is None else environ
    explicit = environ.get("NOTAVERO_LIBRARY", "")
    if explicit:
        return [explicit]
    return [str(_PACKAGE_DIR / LIBRARY_NAME), str(_BUILD_DIR / LIBRARY_NAME), *_SYSTEM_NAMES]


def _declare(lib: ctypes.CDLL) -> ctypes.CDLL:
    lib.nv_get_driver.argtypes = [ctypes.c_uint8, BILL_CALLBACK, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t]
    lib.nv_get_driver.restype = ctypes.c_void_p
    lib.nv_free_driver.argtypes = [ctypes.c_void_p]
    lib.nv_free_driver.restype = None
    lib.nv_get_version.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
    lib.nv_get_version.restype = None
    lib.nv_get_status_text.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t]
    lib.nv_get_status_text.restype = ctypes.c_size_t
    lib.nv_set_enabled.argtypes = [ctypes.c_void_p, ctypes.c_int]
    lib.nv_set_enabled.restype = None
    lib.nv_open.argtypes = [ctypes.POINTER(Options), ctypes.c_char_p, ctypes.c_size_t]
    lib.nv_open.restype = ctypes.c_void_p
    for name in ("nv_get_state", "nv_get_link"):
        getattr(lib, name).argtypes = [ctypes.c_void_p]
        getattr(lib, name).restype = ctypes.c_int32
    lib.nv_get_enabled.argtypes = [ctypes.c_void_p]
    lib.nv_get_enabled.restype = ctypes.c_int
    lib.nv_get_counters.argtypes = [ctypes.c_void_p, ctypes.POINTER(Counters)]
    lib.nv_get_counters.restype = ctypes.c_int
    for name in ("nv_state_name", "nv_reject_reason_name", "nv_link_name"):
        getattr(lib, name).argtypes = [ctypes.c_int32]
        getattr(lib, name).restype = ctypes.c_char_p
    lib.nv_state_text_utf8.argtypes = [ctypes.c_int32, ctypes.c_char_p, ctypes.c_size_t]
    lib.nv_state_text_utf8.restype = ctypes.c_size_t
    return lib


def load(environ: typing.Optional[typing.Mapping[str, str]] = None) -> ctypes.CDLL:
    """Loads the first candidate that loads; raises LibraryNotFoundError
    naming every candidate and why it failed."""
    failures = []
    for candidate in candidates(environ):
        # A path that does not exist is reported as such, without asking the
        # loader (whose message would be less plain).
        if os.sep in candidate or (os.altsep and os.altsep in candidate):
            if not os.path.exists(candidate):
                failures.append(f"{candidate}: no such file")
                continue
        try:
            lib = ctypes.CDLL(candidate)
        except OSError as error:
            failures.append(f"{candidate}: {error}")
            continue
        try:
            return _declare(lib)
        except AttributeError as error:
            failures.append(f"{candidate}: not the driver library ({error})")
    raise LibraryNotFoundError(
        "cannot load the notavero driver library; tried:\n  " + "\n  ".join(failures)
        + "\nset NOTAVERO_LIBRARY to the library's path"
    )


_lock = threading.Lock()
_library: typing.Optional[ctypes.CDLL] = None


def library() -> ctypes.CDLL:
    """The process's one loaded library, loaded on first use."""
    global _library
    with _lock:
        if _library is None:
            _library = load()
        return _library
