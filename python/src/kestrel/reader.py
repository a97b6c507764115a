"""Readers, the cards they find, and the frame log."""
from __future__ import annotations

import ctypes
import enum
import logging
import re
import time
import weakref
from dataclasses import dataclass, field
from typing import Any, Iterator, List, Optional, Tuple

from . import _lib
from .errors import NoCardError, check

frame_log = logging.getLogger("kestrel.frames")


class CardFamily(enum.Enum):
    """What a card is, as far as its SAK and ATQA tell."""

    MIFARE_MINI = "MIFARE Mini"
    MIFARE_CLASSIC_1K = "MIFARE Classic 1K"
    MIFARE_CLASSIC_4K = "MIFARE Classic 4K"
    MIFARE_ULTRALIGHT = "MIFARE Ultralight"
    DESFIRE = "DESFire"
    ISO14443_4 = "ISO/IEC 14443-4"
    UNKNOWN = "unknown"

    @classmethod
    def of(cls, atqa: int, sak: int) -> "CardFamily":
        # SAK bit 0x20 announces ISO/IEC 14443-4; cards that also emulate MIFARE Classic set
        # bit 0x08 or 0x18 next to it and are served as the Classic card they emulate.
        if sak & 0x18 == 0x18:
            return cls.MIFARE_CLASSIC_4K
        if sak & 0x19 == 0x08:
            return cls.MIFARE_CLASSIC_1K
        if sak & 0x19 == 0x09:
            return cls.MIFARE_MINI
        if sak == 0x00:
            return cls.MIFARE_ULTRALIGHT
        if sak & 0x20:
            return cls.DESFIRE if atqa & 0xFF0F == 0x0304 else cls.ISO14443_4
        return cls.UNKNOWN


@dataclass(frozen=True)
class Card:
    """A card the reader activated: its UID, ATQA and SAK."""

    uid: bytes
    atqa: int
    sak: int
    reader: "Reader" = field(repr=False, compare=False)

    @property
    def family(self) -> CardFamily:
        return CardFamily.of(self.atqa, self.sak)

    def __repr__(self) -> str:
        uid = self.uid.hex().upper()
        return f"<Card {uid} ATQA {self.atqa:04X} SAK {self.sak:02X} {self.family.value}>"


class CardEvent(enum.Enum):
    ARRIVED = "arrived"
    REMOVED = "removed"


def parse_reader_name(name: str) -> Tuple[int, str]:
    """The interface type and the library's reader name for a name given to open():
    'tcp:HOST:PORT' or 'HOST:PORT' (dotted IPv4), 'serial:NAME', 'COMn' or a device path,
    'usb:N' or 'USB_N'."""
    scheme, _, rest = name.partition(":")
    if scheme == "tcp" and rest:
        return _lib.INTERFACE_TCP, rest
    if scheme == "serial" and rest:
        return _lib.INTERFACE_RS232, rest
    if scheme == "usb" and rest.isdigit():
        return _lib.INTERFACE_USB, f"USB_{rest}"
    if re.fullmatch(r"USB_\d+", name):
        return _lib.INTERFACE_USB, name
    if re.fullmatch(r"COM\d+", name) or name.startswith("/"):
        return _lib.INTERFACE_RS232, name
    if re.fullmatch(r"\d+\.\d+\.\d+\.\d+:\d+", name):
        return _lib.INTERFACE_TCP, name
    raise ValueError(
        f"not a reader name: {name!r} (tcp:HOST:PORT, COMn, /dev/..., serial:NAME or usb:N)"
    )


def open(
    name: str,
    *,
    baud: int = 0,
    product_id: Optional[int] = None,
    rfscan: bool = False,
    timeout: Optional[float] = None,
) -> "Reader":
    """Connects a reader and returns it; use it as a context manager so it is closed.

    name        'tcp:192.168.1.20:4000', 'COM3', '/dev/ttyUSB0', 'usb:0' (see parse_reader_name)
    baud        serial lines: the baud rate (0: 57600)
    product_id  USB readers: the reader's USB product id (required)
    rfscan      the reader is of the type with the RF-scan commands (not for USB readers,
                whose product id tells)
    timeout     seconds to wait for each answer of the reader (default 2)
    """
    interface, reader_name = parse_reader_name(name)
    if interface == _lib.INTERFACE_USB:
        if product_id is None:
            raise ValueError("a USB reader needs its product_id")
        reader_type = product_id
    else:
        reader_type = _lib.READER_TYPE_RFSCAN if rfscan else 0
    handle = _lib.CreateSession(0)
    if not handle:
        raise MemoryError("no memory for a KestrelAPI session")
    reader = Reader(handle, name)
    try:
        reader._call("ConnectReaderEx", interface, reader_name.encode(), reader_type, baud)
        if timeout is not None:
            reader.timeout = timeout
    except BaseException:
        reader.close()
        raise
    return reader


def readers(product_id: Optional[int] = None) -> List[str]:
    """Names of the readers that open() can connect now: the serial lines that exist and can
    be opened, and, when product_id is given, the USB readers with that product id."""
    names: List[str] = []

    def collect(_context: int, name: bytes) -> int:
        names.append(name.decode())
        return 1

    callback = _lib.EnumReadersCallback(collect)
    check(_lib.EnumReaders(0, _lib.INTERFACE_RS232, callback, 0), "EnumReaders")
    if product_id is not None:
        check(_lib.EnumReaders(product_id, _lib.INTERFACE_USB, callback, 0), "EnumReaders")
    return names


class Reader:
    """A connected reader (one library session). Not for use from several threads at once."""

    def __init__(self, handle: int, name: str) -> None:
        self._handle: Optional[int] = handle
        self.name = name
        self._log_callbacks: Optional[Tuple[Any, Any]] = None
        # A reader the application forgot to close still releases its session.
        self._finalizer = weakref.finalize(self, _lib.ReleaseSession, handle, 0)

    def __repr__(self) -> str:
        return f"<Reader {self.name}{'' if self._handle else ' closed'}>"

    def __enter__(self) -> "Reader":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    @property
    def closed(self) -> bool:
        return self._handle is None

    def close(self) -> None:
        """Disconnects the reader and releases the session; calls afterwards fail with
        ReaderError (no session). Closing twice does nothing."""
        if self._handle is not None:
            self._handle = None
            self._finalizer()
            self._log_callbacks = None  # the library no longer holds them

    def _call(self, function: str, *arguments: Any) -> None:
        """Calls an export with this reader's session first and raises on failure. A closed
        reader passes no session, which the library answers with KESTREL_ERR_NO_SESSION."""
        check(getattr(_lib, function)(self._handle, *arguments), function)

    # Reader settings.
    @property
    def timeout(self) -> float:
        """Seconds to wait for each answer of the reader."""
        previous = ctypes.c_uint32()
        self._call("Interface_SetTimeOuts", 2000, ctypes.byref(previous))
        self._call("Interface_SetTimeOuts", previous.value, None)
        return previous.value / 1000

    @timeout.setter
    def timeout(self, seconds: float) -> None:
        self._call("Interface_SetTimeOuts", round(seconds * 1000), None)

    def firmware_version(self) -> str:
        text = ctypes.create_string_buffer(255)
        length = ctypes.c_uint8(255)
        self._call("GetFWVersion", text, ctypes.byref(length))
        return text.raw[: length.value].decode("latin-1")

    def rf_reset(self, milliseconds: int = 25) -> None:
        """Switches the field off for a moment: every card returns to idle."""
        self._call("RfReset", milliseconds)

    # Cards.
    def _activate(self, function: str) -> Card:
        uid = _lib.buffer(10)
        length = ctypes.c_uint8(10)
        atqa = ctypes.c_uint16()
        sak = ctypes.c_uint8()
        self._call(function, uid, ctypes.byref(length), ctypes.byref(atqa), ctypes.byref(sak))
        return Card(_lib.to_bytes(uid, length.value), atqa.value, sak.value, self)

    def scan(self) -> Card:
        """Activates an idle card in the field (the lowest UID when there are several) and
        returns it; NoCardError when none answers. A halted card is not found again until it
        leaves the field or the field is reset (rf_reset)."""
        return self._activate("SelectIdleCard")

    def select(self, card: Card) -> None:
        """Makes `card` the active card again, by its UID (also from halt); the other cards in
        the field keep their state. NoCardError when it has left the field."""
        uid = _lib.from_bytes(card.uid)
        length = ctypes.c_uint8(len(card.uid))
        try:
            self._call("SelectWakeUpCard", uid, ctypes.byref(length), None, None)
        except NoCardError:
            # A card that was active drops back to idle at the first wake-up without
            # answering; the second finds it.
            self._call("SelectWakeUpCard", uid, ctypes.byref(length), None, None)

    def halt(self) -> None:
        """Halts the active card, so the next scan() finds another one."""
        self._call("HaltCard")

    def poll(
        self, interval: float = 0.2, timeout: Optional[float] = None
    ) -> Iterator[Tuple[CardEvent, Card]]:
        """Watches the field: yields (CardEvent.ARRIVED, card) when a card comes and
        (CardEvent.REMOVED, card) when it goes, until `timeout` seconds have passed (forever
        without one). Each look resets the field and activates the card found, so the card
        that was there is seen as long as it stays, whatever state an application left it in;
        with several cards in the field it watches the one with the lowest UID."""
        deadline = None if timeout is None else time.monotonic() + timeout
        present: Optional[Card] = None
        while True:
            try:
                card: Optional[Card] = self._activate("SelectCardEx")
            except NoCardError:
                card = None
            if card != present:
                if present is not None:
                    yield CardEvent.REMOVED, present
                if card is not None:
                    yield CardEvent.ARRIVED, card
                present = card
            if deadline is not None and time.monotonic() >= deadline:
                return
            time.sleep(interval)

    # Frame log.
    def trace(self, enabled: bool = True) -> None:
        """Logs every frame to and from the reader, in hex, on the logger 'kestrel.frames' at
        DEBUG level ('-> ' sent, '<- ' received)."""
        if not enabled:
            self._call("RegisterLogMethods", 0, _lib.LogMethod(), _lib.LogMethod())  # null pointers
            self._log_callbacks = None
            return
        callbacks = (_lib.LogMethod(_log_frame("->")), _lib.LogMethod(_log_frame("<-")))
        self._call("RegisterLogMethods", 0, *callbacks)
        # The library calls them until the reader is closed or tracing stops: they must live
        # as long, or it would call freed memory.
        self._log_callbacks = callbacks


def _log_frame(direction: str) -> Any:
    def log(_context: int, frame: Any, length: int) -> None:
        if frame_log.isEnabledFor(logging.DEBUG):
            frame_log.debug("%s %s", direction, _lib.to_bytes(frame, length).hex(" ").upper())

    return log
