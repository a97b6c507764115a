"""The exceptions the package raises for the library's result codes.

Every failing call raises a subclass of KestrelError carrying the result code (`code`), the
library's text for it (`message`) and the exported function that returned it (`function`).
"""
from __future__ import annotations

import errno
from typing import Any, Mapping, Optional, Type

from . import _lib

_C: Mapping[str, Any] = _lib.CONSTANTS

# Codes of the 8001-8998 range that describe the session, the reader or the line rather than
# the card in front of it.
_READER_SIDE = frozenset(
    _C[name]
    for name in (
        "KESTREL_ERR_NO_SESSION",
        "KESTREL_ERR_INVALID_SESSION",
        "KESTREL_ERR_NOT_ENOUGH_MEMORY",
        "KESTREL_ERR_READER_NOT_SUPPORTED",
        "KESTREL_ERR_COMMAND_NOT_SUPPORTED",
        "KESTREL_ERR_NO_READER_NAME",
        "KESTREL_ERR_NO_READER_TYPE",
        "KESTREL_ERR_NOT_CONNECTED",
        "KESTREL_ERR_INTERFACE_NOT_SUPPORTED",
        "KESTREL_ERR_NO_READER",
        "KESTREL_ERR_UNKNOWN_COMMAND",
        "KESTREL_ERR_SOCKET",
    )
)

# No answer in time: from the line, the reader, the card, or the operating system.
_TIMEOUTS = frozenset(
    [
        _C["KESTREL_ERR_RS232_READ"],
        _C["KESTREL_ERR_FRAME_CARD_TIMEOUT"],
        _C["KESTREL_ERR_READER_TIMEOUT"],
        errno.ETIMEDOUT,
    ]
    + ([errno.WSAETIMEDOUT] if hasattr(errno, "WSAETIMEDOUT") else [])
)

_DESFIRE_FIRST, _DESFIRE_LAST = 0xA001, 0xAFFE
_DESFIRE_STATUS = _C["KESTREL_ERR_DF_CARD_STATUS_BASE"]


def error_text(code: int) -> str:
    """The library's English text for a result code."""
    text: bytes = _lib.GetErrorText(code)
    return text.decode("utf-8", "replace")


class KestrelError(Exception):
    """A call into the library failed; `code` is its result code."""

    def __init__(self, code: int, function: Optional[str] = None) -> None:
        self.code = code
        self.function = function
        self.message = error_text(code)
        super().__init__(code, self.message)

    def __str__(self) -> str:
        number = (
            f"0x{self.code:04X}" if _DESFIRE_FIRST <= self.code <= _DESFIRE_LAST else str(self.code)
        )
        where = f"{self.function}: " if self.function else ""
        return f"{where}{self.message.strip()} ({number})"


class ReaderError(KestrelError):
    """The session, the connection or the reader failed."""


class KestrelTimeoutError(ReaderError, TimeoutError):
    """Nothing answered in time (also a TimeoutError)."""


class CardError(KestrelError):
    """The card refused the operation or answered wrongly."""


class NoCardError(CardError):
    """No card answered."""


class AuthenticationError(CardError):
    """A key was refused, or the operation needs an authentication the card does not have."""


class DesfireError(CardError):
    """A DESFire command failed. `status` is the card's status byte, or None when the library
    itself refused the answer (a MAC or CRC that does not check, a missing session key)."""

    @property
    def status(self) -> Optional[int]:
        offset = self.code - _DESFIRE_STATUS
        return offset if 0 <= offset <= 0xFF else None


class DesfireAuthenticationError(DesfireError, AuthenticationError):
    """The DESFire card refused the key."""


def error_class(code: int) -> Type[KestrelError]:
    """The exception class that stands for a result code."""
    if code == _C["KESTREL_ERR_NO_CARD"]:
        return NoCardError
    if code in (_C["KESTREL_ERR_AUTH_NOT_ALLOWED"], _C["KESTREL_ERR_AUTH_EXPECTED"]):
        return AuthenticationError
    if code == _C["KESTREL_ERR_DF_AUTHENTICATION"]:
        return DesfireAuthenticationError
    if _DESFIRE_FIRST <= code <= _DESFIRE_LAST or code == _C["KESTREL_ERR_WRONG_ANSWER_LENGTH"]:
        return DesfireError
    if code in _TIMEOUTS:
        return KestrelTimeoutError
    if 8001 <= code <= 8998 and code not in _READER_SIDE:
        return CardError
    return ReaderError


def check(code: int, function: str) -> None:
    """Raises the exception for `code` unless it is 0 (success)."""
    if code != 0:
        raise error_class(code)(code, function)
