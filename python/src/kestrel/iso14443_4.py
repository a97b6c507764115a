"""ISO/IEC 14443-4 cards: activation (RATS, PPS) and message exchange."""
from __future__ import annotations

import ctypes
from typing import Optional

from . import _lib
from .errors import CardError
from .reader import Card

# Frame sizes by their FSCI/FSDI index; the library takes up to 1024.
_FRAME_SIZES = (16, 24, 32, 40, 48, 64, 96, 128, 256, 512, 1024)
# The reader command that sends RATS to the active card. The library's RATS functions always
# activate "an idle card" first, which is not necessarily this one when several cards are in
# the field, so the binding selects the card by its UID and sends the reader command itself.
_READER_REQUEST_ATS = 0xE7
_ANSWER_ROOM = 0xFFFF


def frame_size(ats: bytes) -> int:
    """The card's frame size (FSC) from its ATS; 32 when the ATS has no format byte."""
    if len(ats) < 2:
        return 32
    return _FRAME_SIZES[min(ats[1] & 0x0F, len(_FRAME_SIZES) - 1)]


def activate(card: Card, fsdi: int = 0, cid: int = 0) -> bytes:
    """Selects `card` by its UID and sends RATS (our frame size by its index `fsdi`, the card
    identifier `cid`); returns the ATS.

    The library exchanges blocks of one frame size both ways: it sends blocks of the card's
    FSC and refuses answer blocks longer than that. So our frame size (FSD, 16 bytes for
    fsdi 0) must not exceed the card's, and the default asks for the smallest."""
    if not card.sak & 0x20:
        raise CardError(_lib.KESTREL_ERR_ISO14443_4_NOT_SUPPORTED, "RATS")
    card.reader.select(card)
    ats = _lib.buffer(256)
    length = ctypes.c_uint32(256)
    parameter = _lib.from_bytes(bytes(((fsdi & 0x0F) << 4 | (cid & 0x0F),)))
    card.reader._call(
        "SendDirectCommand", _READER_REQUEST_ATS, parameter, 1, ats, ctypes.byref(length)
    )
    return _lib.to_bytes(ats, length.value)


class Iso14443_4:
    """An ISO/IEC 14443-4 card. rats() activates it; transceive() does so first when it was
    not done."""

    def __init__(self, card: Card, timeout: float = 1.0) -> None:
        self.card = card
        self.timeout = timeout  # seconds the card may take for an answer
        self.ats: Optional[bytes] = None
        self._block_number = ctypes.c_uint8(0)
        self._frame_size = 16

    def _call(self, function: str, *arguments: object) -> None:
        self.card.reader._call(function, *arguments)

    def rats(self, fsdi: int = 0, cid: int = 0) -> bytes:
        """Activates the card (see activate()) and returns its ATS."""
        self.ats = activate(self.card, fsdi, cid)
        self._frame_size = frame_size(self.ats)
        self._block_number.value = 0
        return self.ats

    def pps(self, dsi: int = 0, dri: int = 0, cid: int = 0) -> None:
        """Sends PPS with the divisors for both directions (0: 106 kbit/s)."""
        self._call("ISO4PPS_Request", cid, dsi, dri)

    def transceive(self, apdu: bytes) -> bytes:
        """Sends a message (a command APDU) and returns the card's answer, status word
        included."""
        if len(apdu) > 0xFFFF:
            raise ValueError("a message is at most 65535 bytes")
        if self.ats is None:
            self.rats()
        answer = _lib.buffer(_ANSWER_ROOM)
        length = ctypes.c_uint16(_ANSWER_ROOM)
        self._call(
            "Send_Raw_APDU",
            ctypes.byref(self._block_number),
            self._frame_size,
            _lib.from_bytes(apdu),
            len(apdu),
            answer,
            ctypes.byref(length),
            round(self.timeout * 1000),
        )
        return _lib.to_bytes(answer, length.value)

    def deselect(self) -> None:
        """Ends the card's ISO/IEC 14443-4 state; it needs rats() again."""
        self._call("Reset14443_4", 256)
        self.ats = None
