"""The Driver class over the C API."""

import ctypes
import decimal
import logging
import threading
import time
import weakref

from . import _library

logger = logging.getLogger("notavero")

ENCODING = "cp1251"

# Bill event kinds of the C API.
_ESCROW, _STACKED, _RETURNED = 0, 1, 2

# Amounts arrive in 1/10000 currency units.  A context of its own: the
# callback thread's default context is not the caller's to depend on.
_SCALE = decimal.Decimal(10000)
_CONTEXT = decimal.Context(prec=28)

_ERROR_SIZE = 512
_VERSION_SIZE = 14
_STATUS_SIZE = 256

# How often wait_for_status looks at the state text; the C API has no
# notification of state changes.
_STATUS_POLL_INTERVAL = 0.02

# State texts a host waits for.
DISABLED = "Выключен"
WAITING_FOR_BILL = "Ожидается вставка купюры"


class DriverError(Exception):
    """The driver cannot be created (the message is the driver's, decoded),
    or the Driver object has been closed."""


def to_amount(units):
    """1/10000 currency units (an int) to currency units (a Decimal)."""
    return _CONTEXT.divide(decimal.Decimal(units), _SCALE)


class _State:
    """What the C side and the finalizer need; holds no reference to the
    Driver, so that an unreferenced Driver can be collected and freed."""

    def __init__(self, lib, on_escrow, on_stacked, on_returned):
        self.lib = lib
        self.on_escrow = on_escrow
        self.on_stacked = on_stacked
        self.on_returned = on_returned
        self.lock = threading.Lock()  # guards handle against close()
        self.handle = None
        self.callback_thread = None  # ident of the thread inside a callback
        # Kept here for as long as the driver may call it.
        self.c_callback = _library.BILL_CALLBACK(self._dispatch)

    def _dispatch(self, kind, units, _user):
        # Runs on the driver's polling thread.  Nothing may escape into C.
        self.callback_thread = threading.get_ident()
        try:
            amount = to_amount(units)
            if kind == _ESCROW:
                if self.on_escrow is None:
                    return 0
                return 1 if self.on_escrow(amount) else 0
            handler = self.on_stacked if kind == _STACKED else self.on_returned if kind == _RETURNED else None
            if handler is not None:
                handler(amount)
            return 0
        except BaseException:  # noqa: BLE001 - must not reach C; a bill in escrow goes back
            name = {_ESCROW: "on_escrow", _STACKED: "on_stacked", _RETURNED: "on_returned"}.get(kind, str(kind))
            logger.exception("notavero: %s raised%s", name, "; the bill is returned" if kind == _ESCROW else "")
            return 0
        finally:
            self.callback_thread = None

    def release(self):
        """Stops and frees the driver once; later calls do nothing."""
        with self.lock:
            handle, self.handle = self.handle, None
        if handle is not None:
            # Waits for a running callback; ctypes lets go of the GIL
            # meanwhile, so a Python callback can finish.
            self.lib.nv_free_driver(handle)


def _finalize(state):
    # Run when the Driver is collected or at interpreter exit.  A Driver
    # collected inside one of its own callbacks cannot stop its polling thread
    # from that thread; another thread does it.
    if state.callback_thread == threading.get_ident():
        threading.Thread(target=state.release, name="notavero-release").start()
    else:
        state.release()


class Driver:
    """A running driver on serial port COM<port>.

    on_escrow(amount) -> truthy stacks the bill, falsy returns it; without
    on_escrow every bill is returned.  on_stacked(amount) credits a bill,
    on_returned(amount) reports one given back.  Amounts are Decimal
    currency units.  The callbacks run on the driver's polling thread, which
    waits for them: the device is not polled meanwhile, so they must be
    quick.  An exception from a callback is logged to the "notavero" logger
    and, for on_escrow, returns the bill.

    Raises DriverError with the driver's message when the port cannot be
    opened.  close() (or leaving a with block) stops the driver; so does
    interpreter exit or collection of the object.
    """

    def __init__(self, port, on_escrow=None, on_stacked=None, on_returned=None):
        if not isinstance(port, int) or isinstance(port, bool) or not 0 <= port <= 255:
            raise ValueError(f"port must be an int from 0 to 255, not {port!r}")
        self.port = port
        self._enabled = None
        lib = _library.library()
        state = _State(lib, on_escrow, on_stacked, on_returned)
        error = ctypes.create_string_buffer(_ERROR_SIZE)
        handle = lib.nv_get_driver(port, state.c_callback, None, error, _ERROR_SIZE)
        if not handle:
            raise DriverError(error.value.decode(ENCODING, errors="replace"))
        state.handle = handle
        self._state = state
        self._finalizer = weakref.finalize(self, _finalize, state)

    # -- life -----------------------------------------------------------
    def close(self):
        """Stops the driver, waiting for a callback that runs, and frees it.
        Calling it again does nothing.  Not from inside a callback."""
        if self._state.callback_thread == threading.get_ident():
            raise RuntimeError("a Driver cannot be closed from its own callback")
        self._finalizer()

    @property
    def closed(self):
        return not self._finalizer.alive

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    def __repr__(self):
        return f"<notavero.Driver COM{self.port}{' closed' if self.closed else ''}>"

    def _call(self, function, *args):
        with self._state.lock:
            if self._state.handle is None:
                raise DriverError("the driver is closed")
            return function(self._state.handle, *args)

    # -- host operations ------------------------------------------------
    @property
    def version(self):
        """The driver's version text, "v1.0#Notavero"."""
        buffer = ctypes.create_string_buffer(_VERSION_SIZE)
        self._call(self._state.lib.nv_get_version, buffer)
        raw = buffer.raw
        return raw[1 : 1 + raw[0]].decode("ascii")

    @property
    def status(self):
        """The text of the device's last reported state ("" before the first
        poll), e.g. "Выключен"."""
        size = _STATUS_SIZE
        while True:
            buffer = ctypes.create_string_buffer(size)
            length = self._call(self._state.lib.nv_get_status_text, buffer, size)
            if length < size:
                return buffer.value.decode(ENCODING, errors="replace")
            size = length + 1  # the text changed to a longer one: again

    @property
    def enabled(self):
        """The last acceptance request made (None before any); the device
        carries it out on its next polling cycle."""
        return self._enabled

    @enabled.setter
    def enabled(self, value):
        value = bool(value)
        self._call(self._state.lib.nv_set_enabled, 1 if value else 0)
        self._enabled = value

    def enable(self):
        self.enabled = True

    def disable(self):
        self.enabled = False

    def wait_for_status(self, *texts, timeout=10.0):
        """Waits until the state text is one of texts; returns it.  Raises
        TimeoutError with the last text seen after timeout seconds."""
        deadline = time.monotonic() + timeout
        while True:
            current = self.status
            if current in texts:
                return current
            if time.monotonic() >= deadline:
                raise TimeoutError(f"state {current!r} after {timeout} s, waited for {texts!r}")
            time.sleep(_STATUS_POLL_INTERVAL)
