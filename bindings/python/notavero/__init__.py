"""Python interface of the notavero bill validator driver.

    from decimal import Decimal
    import notavero

    with notavero.Driver(7, on_escrow=lambda amount: amount <= Decimal(500),
                         on_stacked=lambda amount: print("credited", amount)) as driver:
        driver.wait_for_state(notavero.State.DISABLED, timeout=30)  # bill table read
        driver.enabled = True
        ...

The driver runs its own polling thread; the callbacks are called on it,
one at a time, and the driver waits for each: keep them quick (no dialogs,
no network).  on_escrow returns truthy to stack the bill, falsy to return it
(the default without on_escrow, and the outcome when it raises).  Amounts are
decimal.Decimal currency units.  Acceptance is enabled for the bill types the
driver has read from the device's bill table, so enable it once the state
is notavero.State.DISABLED (its text "Выключен") and enable it again should
the device come back disabled after a power cut.

The library (libnotavero.so, Notavero.dll) is looked for at the path in the
environment variable NOTAVERO_LIBRARY when it is set (then nowhere else);
otherwise beside this package, then in the build/ directory of the source
tree the package sits in, then by the system's loader.

On Linux, port n is the device named by the environment variable
NOTAVERO_COM<n>, else /dev/ttyS<n-1>.  The log goes to the file named by
NOTAVERO_LOG, else to the platform's fixed path.  Both are read when a
Driver is created.
"""

from ._driver import Driver, DriverError, deprecated_text as _deprecated_text, to_amount
from ._events import Counters, DeviceState, Event, EventKind, Link, State
from ._library import LibraryNotFoundError

__all__ = ["Driver", "DriverError", "LibraryNotFoundError", "to_amount",
           "State", "Link", "EventKind", "Event", "DeviceState", "Counters"]


def __getattr__(name: str) -> str:
    # DISABLED and WAITING_FOR_BILL, the state texts of earlier versions:
    # State.DISABLED.text and State.IDLING.text now.
    if name in ("DISABLED", "WAITING_FOR_BILL"):
        return _deprecated_text(name)
    raise AttributeError(f"module 'notavero' has no attribute {name!r}")

try:
    from ._version import __version__  # written into the package when it is built (_build/notavero_build.py)
except ImportError:  # the source tree: the version of the project it belongs to
    import pathlib as _pathlib
    import re as _re

    try:
        _cmake = (_pathlib.Path(__file__).resolve().parents[3] / "CMakeLists.txt").read_text(encoding="utf-8")
        __version__ = _re.search(r"project\(notavero VERSION ([0-9.]+)", _cmake).group(1)
    except (OSError, AttributeError):  # a copy of the package without its tree
        __version__ = "unknown"
