"""Card keys: the one place where keys given by the caller are checked and turned into what
the library takes."""
from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Union

from . import _lib


@dataclass(frozen=True)
class ClassicKey:
    """A MIFARE Classic key: six bytes used as key A or key B."""

    key: bytes
    type: str = "A"

    def __post_init__(self) -> None:
        if not isinstance(self.key, (bytes, bytearray)) or len(self.key) != 6:
            raise ValueError("a MIFARE Classic key is 6 bytes")
        if self.type not in ("A", "B"):
            raise ValueError("a MIFARE Classic key is key 'A' or key 'B'")
        object.__setattr__(self, "key", bytes(self.key))

    def __repr__(self) -> str:
        return f"ClassicKey(..., {self.type!r})"  # keys stay out of logs and tracebacks

    def _record(self) -> Any:
        """The library's MifareKey record of this key."""
        code = _lib.KEY_TYPE_A if self.type == "A" else _lib.KEY_TYPE_B
        return _lib.MifareKey(code, _lib.from_bytes(self.key))


ClassicKeyLike = Union[ClassicKey, bytes]

# The key A of a card as it leaves the factory.
TRANSPORT_KEY = ClassicKey(b"\xff" * 6)


def classic_key(key: ClassicKeyLike) -> ClassicKey:
    """A ClassicKey from a ClassicKey or six bytes (key A)."""
    return key if isinstance(key, ClassicKey) else ClassicKey(key)


@dataclass(frozen=True)
class DesfireKey:
    """A DESFire key: two-key triple DES (16 bytes), or single DES given as its 8 bytes, which
    the card takes as a triple DES key with equal halves. Parity bits are not used."""

    key: bytes

    def __post_init__(self) -> None:
        if not isinstance(self.key, (bytes, bytearray)) or len(self.key) not in (8, 16):
            raise ValueError("a DESFire DES key is 8 bytes, a 3DES key 16 bytes")
        raw = bytes(self.key)
        object.__setattr__(self, "key", raw * 2 if len(raw) == 8 else raw)

    def __repr__(self) -> str:
        return "DesfireKey(...)"  # keys stay out of logs and tracebacks

    def _buffer(self) -> Any:
        """The key as the library takes it (DF_KEY_LENGTH bytes)."""
        return _lib.from_bytes(self.key)


DesfireKeyLike = Union[DesfireKey, bytes]

# The card master key and application keys of a new card: all zeros.
DESFIRE_DEFAULT_KEY = DesfireKey(bytes(16))


def desfire_key(key: DesfireKeyLike) -> DesfireKey:
    """A DesfireKey from a DesfireKey or its bytes."""
    return key if isinstance(key, DesfireKey) else DesfireKey(key)
