"""The Driver class over the C API."""

import ctypes
import decimal
import logging
import os
import threading
import time
import typing
import warnings
import weakref

from . import _library, _stream
from ._events import (BILL_ESCROW, BILL_EVENT_KINDS, BILL_RETURNED, BILL_STACKED, ENCODING, Counters,
                      DeviceState, Event, EventKind, Link, State, to_amount)

Amount = decimal.Decimal
EscrowHandler = typing.Callable[[Amount], typing.Any]  # truthy: stack the bill
BillHandler = typing.Callable[[Amount], None]
EventHandler = typing.Callable[[Event], None]

logger = logging.getLogger("notavero")

_ERROR_SIZE = 512
_VERSION_SIZE = 14
_STATUS_SIZE = 256

# How often wait_for_status looks at the state text.
_STATUS_POLL_INTERVAL = 0.02

# Texts of states, from before State.text: kept for hosts that use them.
_DEPRECATED_TEXTS = {"DISABLED": State.DISABLED, "WAITING_FOR_BILL": State.IDLING}
_DEPRECATED_VALUES = {"DISABLED": "Выключен", "WAITING_FOR_BILL": "Ожидается вставка купюры"}


def deprecated_text(name: str) -> str:
    """notavero.DISABLED and notavero.WAITING_FOR_BILL: State.X.text now."""
    state = _DEPRECATED_TEXTS[name]
    warnings.warn(f"notavero.{name} is deprecated: use notavero.State.{state.name}.text, or wait_for_state",
                  DeprecationWarning, stacklevel=3)
    return _DEPRECATED_VALUES[name]

_BILL_HANDLER_NAMES = {BILL_ESCROW: "on_escrow", BILL_STACKED: "on_stacked", BILL_RETURNED: "on_returned"}


class DriverError(Exception):
    """The driver cannot be created (the message is the driver's, decoded),
    or the Driver object has been closed."""


class _State:
    """What the C side and the finalizer need; holds no reference to the
    Driver, so that an unreferenced Driver can be collected and freed."""

    def __init__(self, lib, on_escrow, on_stacked, on_returned, on_event):
        self.lib = lib
        self.on_escrow = on_escrow
        self.on_stacked = on_stacked
        self.on_returned = on_returned
        self.on_event = on_event
        self.lock = threading.Lock()  # guards handle against close()
        self.handle = None
        self.callback_thread = None  # ident of the thread inside a callback
        self.hub = _stream.Hub()
        # Kept here for as long as the driver may call them.
        self.c_callback = _library.BILL_EX_CALLBACK(self._dispatch_bill)
        self.c_event = _library.EVENT_CALLBACK(self._dispatch_event)

    # -- the polling thread -------------------------------------------------
    def _publish(self, event):
        self.hub.publish(event)
        if self.on_event is not None:
            try:
                self.on_event(event)
            except BaseException:  # noqa: BLE001 - must not reach C
                logger.exception("notavero: on_event raised on %s", event)

    def _dispatch_bill(self, bill, _user):
        # Runs on the driver's polling thread.  Nothing may escape into C.
        self.callback_thread = threading.get_ident()
        kind = None
        try:
            kind = bill.contents.kind
            amount = to_amount(bill.contents.amount)
            event_kind = BILL_EVENT_KINDS.get(kind)
            if event_kind is not None:
                self._publish(Event(event_kind, 0, amount, bill.contents.bill_type))
            if kind == BILL_ESCROW:
                if self.on_escrow is None:
                    return 0
                return 1 if self.on_escrow(amount) else 0
            handler = self.on_stacked if kind == BILL_STACKED else self.on_returned if kind == BILL_RETURNED else None
            if handler is not None:
                handler(amount)
            return 0
        except BaseException:  # noqa: BLE001 - must not reach C; a bill in escrow goes back
            name = _BILL_HANDLER_NAMES.get(kind, str(kind))
            logger.exception("notavero: %s raised%s", name, "; the bill is returned" if kind == BILL_ESCROW else "")
            return 0
        finally:
            self.callback_thread = None

    def _dispatch_event(self, kind, code, _user):
        self.callback_thread = threading.get_ident()
        try:
            self._publish(Event(EventKind(kind), code))
        except BaseException:  # noqa: BLE001 - must not reach C
            logger.exception("notavero: event %s %s not delivered", kind, code)
        finally:
            self.callback_thread = None

    # -- any thread -------------------------------------------------------
    def _read_text(self, handle):
        size = _STATUS_SIZE
        while True:
            buffer = ctypes.create_string_buffer(size)
            length = self.lib.nv_get_status_text(handle, buffer, size)
            if length < size:
                return buffer.value.decode(ENCODING, errors="replace")
            size = length + 1  # the text changed to a longer one: again

    def call(self, function, *args):
        with self.lock:
            if self.handle is None:
                raise DriverError("the driver is closed")
            return function(self.handle, *args)

    def text(self):
        return self.call(self._read_text)

    def device_state(self):
        """The DeviceState of the last poll, None before the first."""
        word = self.call(self.lib.nv_get_state)
        return None if word < 0 else DeviceState.of(word)

    def release(self):
        """Stops and frees the driver once; later calls do nothing."""
        with self.lock:
            handle, self.handle = self.handle, None
        if handle is not None:
            # Waits for a running callback; ctypes lets go of the GIL
            # meanwhile, so a Python callback can finish.
            self.lib.nv_free_driver(handle)
        self.hub.end()


def _finalize(state):
    # Run when the Driver is collected or at interpreter exit.  A Driver
    # collected inside one of its own callbacks cannot stop its polling thread
    # from that thread; another thread does it.
    if state.callback_thread == threading.get_ident():
        threading.Thread(target=state.release, name="notavero-release").start()
    else:
        state.release()


def _matches(event, kinds, predicate):
    return (kinds is None or event.kind in kinds) and (predicate is None or predicate(event))


class Driver:
    """A running driver on serial port COM<port>, or on the serial device at
    the path `device` (keyword: Driver(device="/dev/ttyUSB0")).

    on_escrow(amount) -> truthy stacks the bill, falsy returns it; without
    on_escrow every bill is returned.  on_stacked(amount) credits a bill,
    on_returned(amount) reports one given back.  Amounts are Decimal
    currency units.  on_event(event) hears every Event: state changes, link
    changes, rejections, unconfirmed bills and the bills themselves, in the
    order they happened.  The callbacks run on the driver's polling thread,
    which waits for them: the device is not polled meanwhile, so they must be
    quick.  An exception from a callback is logged to the "notavero" logger
    and, for on_escrow, returns the bill.

    Raises DriverError with the driver's message when the port cannot be
    opened.  close() (or leaving a with block) stops the driver; so does
    interpreter exit or collection of the object.
    """

    def __init__(self, port: typing.Optional[int] = None, on_escrow: typing.Optional[EscrowHandler] = None,
                 on_stacked: typing.Optional[BillHandler] = None, on_returned: typing.Optional[BillHandler] = None,
                 *, device: typing.Optional[typing.Union[str, bytes, os.PathLike]] = None,
                 on_event: typing.Optional[EventHandler] = None) -> None:
        if (port is None) == (device is None):
            raise ValueError("give either a port number or a device path")
        if port is not None and (not isinstance(port, int) or isinstance(port, bool) or not 0 <= port <= 255):
            raise ValueError(f"port must be an int from 0 to 255, not {port!r}")
        if device is not None:
            device = os.fspath(device)
            if not device:
                raise ValueError("device must not be empty")
        self.port = port
        self.device = device
        self._enabled = None
        lib = _library.library()
        state = _State(lib, on_escrow, on_stacked, on_returned, on_event)
        options = _library.Options()
        options.size = ctypes.sizeof(options)
        options.port = port or 0
        options.device = os.fsencode(device) if device is not None else None
        options.on_bill_ex = state.c_callback
        options.on_event = state.c_event
        error = ctypes.create_string_buffer(_ERROR_SIZE)
        handle = lib.nv_open(ctypes.byref(options), error, _ERROR_SIZE)
        if not handle:
            raise DriverError(error.value.decode(ENCODING, errors="replace"))
        with state.lock:
            state.handle = handle
        self._state = state
        self._finalizer = weakref.finalize(self, _finalize, state)

    # -- life -----------------------------------------------------------
    def close(self) -> None:
        """Stops the driver, waiting for a callback that runs, and frees it;
        event streams end.  Calling it again does nothing.  Not from inside a
        callback."""
        if self._state.callback_thread == threading.get_ident():
            raise RuntimeError("a Driver cannot be closed from its own callback")
        self._finalizer()

    @property
    def closed(self) -> bool:
        return not self._finalizer.alive

    def __enter__(self) -> "Driver":
        return self

    def __exit__(self, *exc_info: typing.Any) -> None:
        self.close()

    def __repr__(self) -> str:
        where = self.device if self.device is not None else f"COM{self.port}"
        return f"<notavero.Driver {where}{' closed' if self.closed else ''}>"

    def _call(self, function, *args):
        return self._state.call(function, *args)

    # -- host operations ------------------------------------------------
    @property
    def version(self) -> str:
        """The driver's version text, "v1.0#Notavero"."""
        buffer = ctypes.create_string_buffer(_VERSION_SIZE)
        self._call(self._state.lib.nv_get_version, buffer)
        raw = buffer.raw
        return raw[1 : 1 + raw[0]].decode("ascii")

    @property
    def status(self) -> str:
        """The text of the device's last reported state ("" before the first
        poll), e.g. "Выключен"."""
        return self._state.text()

    @property
    def state(self) -> typing.Optional[DeviceState]:
        """The device's state at the last successful poll, a DeviceState
        (.state, .sub_code, .text, .name); None before the first poll."""
        return self._state.device_state()

    @property
    def link(self) -> Link:
        """The health of the line, a Link."""
        return Link(self._call(self._state.lib.nv_get_link))

    @property
    def counters(self) -> Counters:
        """What the driver counted since it was opened, a Counters."""
        counters = _library.Counters()
        counters.size = ctypes.sizeof(counters)
        if self._call(self._state.lib.nv_get_counters, ctypes.byref(counters)) != 0:
            raise DriverError("the driver gave no counters")
        return Counters.from_c(counters)

    @property
    def enabled(self) -> typing.Optional[bool]:
        """The acceptance request in force (None before any request); the
        device carries out a new one on its next polling cycle."""
        if self._enabled is None:
            return None
        return bool(self._call(self._state.lib.nv_get_enabled))

    @enabled.setter
    def enabled(self, value: bool) -> None:
        value = bool(value)
        self._call(self._state.lib.nv_set_enabled, 1 if value else 0)
        self._enabled = value

    def enable(self) -> None:
        self.enabled = True

    def disable(self) -> None:
        self.enabled = False

    # -- waiting --------------------------------------------------------
    def events(self, timeout: typing.Optional[float] = None) -> _stream.EventStream:
        """An iterator over the events from now on, across threads: it ends
        after `timeout` seconds without an event (None: never) or when the
        driver is closed.  Use it as a context manager, or close() it, to
        stop listening."""
        return _stream.EventStream(self._state.hub, timeout)

    def aevents(self, timeout: typing.Optional[float] = None) -> _stream.AsyncEventStream:
        """events() for asyncio, made inside the running loop:
        `async for event in driver.aevents(): ...`."""
        return _stream.AsyncEventStream(self._state.hub, timeout)

    def wait_for_event(self, kind: typing.Union[None, EventKind, typing.Tuple[EventKind, ...]] = None,
                       predicate: typing.Optional[typing.Callable[[Event], bool]] = None, timeout: float = 10.0,
                       stream: typing.Optional[_stream.EventStream] = None) -> Event:
        """Waits for an event of `kind` (an EventKind, a tuple of them or None
        for any) that `predicate(event)` accepts; returns it.  Only events
        after the call count unless `stream` (from events()) is given, whose
        waiting events are looked at first.  Raises TimeoutError after
        `timeout` seconds, DriverError when the driver is closed."""
        kinds = (kind,) if isinstance(kind, int) else kind
        if stream is None:
            with self.events() as own:
                return self._wait(own, kinds, predicate, timeout)
        return self._wait(stream, kinds, predicate, timeout)

    def _wait(self, stream, kinds, predicate, timeout):
        deadline = time.monotonic() + timeout
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError(f"no such event after {timeout} s; the state is {self.state}, "
                                   f"the link {self.link.name}")
            try:
                event = stream.get(remaining)
            except StopIteration:
                raise DriverError("the driver is closed") from None
            if event is not None and _matches(event, kinds, predicate):
                return event

    def wait_for_state(self, *states: State, timeout: float = 10.0) -> DeviceState:
        """Waits until the device is in one of `states` (State values);
        returns its DeviceState.  Driven by the state events.  Raises
        TimeoutError naming the state after timeout seconds."""
        wanted = {State(state) for state in states}
        with self.events() as stream:
            current = self.state
            if current is not None and current.state in wanted:
                return current
            event = self._wait(stream, (EventKind.STATE,), lambda event: event.state in wanted, timeout)
        return DeviceState.of(event.code)

    def wait_for_status(self, *texts: typing.Union[str, State], timeout: float = 10.0) -> str:
        """Waits until the state text is one of texts (a State stands for its
        text); returns it.  Raises TimeoutError with the last text seen after
        timeout seconds."""
        texts = tuple(text.text if isinstance(text, State) else text for text in texts)
        deadline = time.monotonic() + timeout
        while True:
            current = self.status
            if current in texts:
                return current
            if time.monotonic() >= deadline:
                raise TimeoutError(f"state {current!r} after {timeout} s, waited for {texts!r}")
            time.sleep(_STATUS_POLL_INTERVAL)
