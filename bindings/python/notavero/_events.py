"""What the driver reports beside the money: device states, link states,
events and counters."""

import ctypes
import dataclasses
import decimal
import enum
import typing

from . import _library

ENCODING = "cp1251"

# Amounts arrive in 1/10000 currency units.  A context of its own: the
# callback thread's default context is not the caller's to depend on.
_SCALE = decimal.Decimal(10000)
_CONTEXT = decimal.Context(prec=28)


def to_amount(units: int) -> decimal.Decimal:
    """1/10000 currency units (an int) to currency units (a Decimal)."""
    return _CONTEXT.divide(decimal.Decimal(units), _SCALE)


def _name(function: typing.Callable[[int], bytes], value: int) -> str:
    return function(value).decode("ascii")


def state_text(word: int) -> str:
    """The driver's Russian text of a status word ("Выключен"); "" for -1."""
    lib = _library.library()
    size = 256
    while True:
        buffer = ctypes.create_string_buffer(size)
        length = lib.nv_state_text_utf8(word, buffer, size)
        if length < size:
            return buffer.value.decode("utf-8")
        size = length + 1


class _OpenIntEnum(enum.IntEnum):
    """An IntEnum that also holds values it does not list (UNKNOWN_5C), so
    that a code the driver reports never raises."""

    @classmethod
    def _missing_(cls, value):
        if not isinstance(value, int):
            return None
        member = int.__new__(cls, value)
        member._name_ = f"UNKNOWN_{value:02X}" if value >= 0 else f"UNKNOWN_{value}"
        member._value_ = value
        return cls._value2member_map_.setdefault(value, member)


class State(_OpenIntEnum):
    """The device state: the low byte of a status word."""

    POWER_UP = 0x10
    POWER_UP_WITH_BILL = 0x11
    POWER_UP_WITH_BILL_IN_STACKER = 0x12
    INITIALIZING = 0x13
    IDLING = 0x14
    ACCEPTING = 0x15
    STACKING = 0x17
    RETURNING = 0x18
    DISABLED = 0x19
    HOLDING = 0x1A
    BUSY = 0x1B
    REJECTING = 0x1C
    STACKER_FULL = 0x41
    CASSETTE_MISSING = 0x42
    JAM_IN_PATH = 0x43
    JAM_IN_CASSETTE = 0x44
    CHEATED = 0x45
    PAUSED = 0x46
    FAILURE = 0x47
    ESCROW = 0x80
    STACKED = 0x81
    RETURNED = 0x82

    @property
    def text(self) -> str:
        """The driver's Russian text of the state (sub-code 0), as Driver.status
        shows it: State.DISABLED.text is "Выключен"."""
        return state_text(int(self))


class Link(_OpenIntEnum):
    """The health of the line to the device."""

    UNKNOWN = 0  # not heard yet
    ONLINE = 1  # the last exchange was answered
    NO_ANSWER = 2  # a whole polling cycle failed: time-outs or bad frames
    PORT_LOST = 3  # the port itself failed; the driver is reopening it

    @property
    def description(self) -> str:
        """The driver's English name ("port lost")."""
        return _name(_library.library().nv_link_name, self)


class EventKind(_OpenIntEnum):
    """What an Event reports.  STATE to FOREIGN_OUTCOME are the driver's events;
    the bill kinds repeat the bill callbacks, so that one stream shows a
    bill's whole road."""

    STATE = 1  # code: the new status word
    LINK = 2  # code: a Link
    REJECTED = 3  # code: the reason (the sub-code of REJECTING)
    UNCONFIRMED = 4  # code: the bill type sent to the stacker with no outcome reported
    FOREIGN_OUTCOME = 5  # code: 1 stacked, 2 returned; the next bill callback is of a bill this driver did not decide
    ESCROW = 0x100  # code: 0; amount: the bill's value
    BILL_STACKED = 0x101
    BILL_RETURNED = 0x102


# Bill callback kinds of the C API, and their event kinds.
BILL_ESCROW, BILL_STACKED, BILL_RETURNED = 0, 1, 2
BILL_EVENT_KINDS = {
    BILL_ESCROW: EventKind.ESCROW,
    BILL_STACKED: EventKind.BILL_STACKED,
    BILL_RETURNED: EventKind.BILL_RETURNED,
}


@dataclasses.dataclass(frozen=True)
class DeviceState:
    """A status word as the driver polled it: .state (a State), .sub_code,
    .name (English, "stacker full") and .text (the driver's Russian text, e.g.
    "Выключен")."""

    word: int
    text: typing.Optional[str] = None

    @classmethod
    def of(cls, word: int) -> "DeviceState":
        """The word with its text."""
        return cls(word, state_text(word))

    @property
    def state(self) -> State:
        return State(self.word & 0xFF)

    @property
    def sub_code(self) -> int:
        return (self.word >> 8) & 0xFF

    @property
    def name(self) -> str:
        return _name(_library.library().nv_state_name, self.word)

    def __str__(self) -> str:
        return f"{self.state & 0xFF:02X}-{self.sub_code:02X} {self.name}: {self.text}"


@dataclasses.dataclass(frozen=True)
class Event:
    """One thing the driver reported, in the order it happened.  amount is
    the bill's value (Decimal currency units) for the bill kinds, else None;
    bill_type is the bill's type (the index in Counters.stacked) for the bill
    kinds, else None."""

    kind: EventKind
    code: int = 0
    amount: typing.Optional[decimal.Decimal] = None
    bill_type: typing.Optional[int] = dataclasses.field(default=None, compare=False)

    @property
    def state(self) -> typing.Optional[State]:
        """For STATE: the new State, else None."""
        return State(self.code & 0xFF) if self.kind == EventKind.STATE else None

    @property
    def sub_code(self) -> typing.Optional[int]:
        """For STATE: the new word's sub-code, else None."""
        return (self.code >> 8) & 0xFF if self.kind == EventKind.STATE else None

    @property
    def link(self) -> typing.Optional[Link]:
        """For LINK: the new Link, else None."""
        return Link(self.code) if self.kind == EventKind.LINK else None

    @property
    def name(self) -> str:
        """The code's English name for STATE, LINK and REJECTED (the reason,
        "inhibited denomination"); else the kind's name."""
        lib = _library.library()
        if self.kind == EventKind.STATE:
            return _name(lib.nv_state_name, self.code)
        if self.kind == EventKind.LINK:
            return _name(lib.nv_link_name, self.code)
        if self.kind == EventKind.REJECTED:
            return _name(lib.nv_reject_reason_name, self.code)
        return self.kind.name.lower()


@dataclasses.dataclass(frozen=True)
class Counters:
    """What the driver counted since it was opened.  stacked: bills stacked by
    bill type (24 entries); stacked_amount: their sum in 1/10000 currency
    units, amount: the same as a Decimal in currency units;
    last_answer_ms: milliseconds since the last good reply, -1 never.  The
    counts between are the driver's NV_COUNTER_LIST (a test holds them equal)."""

    stacked: typing.Tuple[int, ...]
    stacked_amount: int
    amount: decimal.Decimal
    returned: int
    rejected: int
    timeouts: int
    bad_frames: int
    failed_cycles: int
    power_ups: int
    reconnects: int
    unconfirmed: int
    last_answer_ms: int

    @classmethod
    def from_c(cls, counters: _library.Counters) -> "Counters":
        fields = {field.name: getattr(counters, field.name) for field in dataclasses.fields(cls)
                  if field.name not in ("stacked", "amount")}
        return cls(stacked=tuple(counters.stacked), amount=to_amount(counters.stacked_amount), **fields)
