"""MIFARE Classic: blocks, sectors, whole-card images, value blocks and access conditions."""
from __future__ import annotations

import ctypes
import functools
import struct
from dataclasses import dataclass, fields
from typing import Any, Callable, Iterable, List, Mapping, Optional, Sequence, Tuple, TypeVar, Union

from . import _lib
from .errors import AuthenticationError, CardError, check
from .keys import TRANSPORT_KEY, ClassicKey, ClassicKeyLike, classic_key
from .reader import Card, CardFamily

BLOCK = 16
_SECTORS = {
    CardFamily.MIFARE_MINI: 5,
    CardFamily.MIFARE_CLASSIC_1K: 16,
    CardFamily.MIFARE_CLASSIC_4K: 40,
}

# Keys for a sector: one key, keys tried in turn, or per sector (a mapping from sector number
# to a key or keys).
Keys = Union[ClassicKeyLike, Sequence[ClassicKeyLike], Mapping[int, Any]]

T = TypeVar("T")


def _geometry(function: str, sector: int) -> int:
    value = ctypes.c_uint8()
    check(getattr(_lib, function)(sector, ctypes.byref(value)), function)
    return value.value


def first_block(sector: int) -> int:
    """The sector's first block: 4 x sector, or 128 + 16 x (sector - 32) from sector 32 on."""
    return _geometry("MifC_GetSectorFirstBlock", sector)


def block_count(sector: int) -> int:
    """The sector's blocks, trailer included: 4, or 16 from sector 32 on."""
    return _geometry("MifC_GetSectorBlocksCount", sector)


class MifareClassic:
    """A MIFARE Classic card (Mini, 1K or 4K) the reader has activated.

    Every operation authenticates the sector it touches with the key given (default: the
    transport key A FFFFFFFFFFFF) and the card's serial, then transfers: the card stays active
    from the scan on and is never activated again, except to recover after a refused key.
    """

    def __init__(self, card: Card, sectors: Optional[int] = None) -> None:
        if sectors is None:
            if card.family not in _SECTORS:
                raise ValueError(f"not a MIFARE Classic card: {card.family.value}")
            sectors = _SECTORS[card.family]
        self.card = card
        self.sectors = sectors
        # Authentication binds to the last cascade level of the UID: the whole of a 4-byte UID.
        self._serial = _lib.from_bytes(card.uid[-4:])

    def _call(self, function: str, *arguments: Any) -> None:
        self.card.reader._call(function, *arguments)

    def _check_sector(self, sector: int) -> None:
        if not 0 <= sector < self.sectors:
            raise ValueError(f"sector {sector} is not on a card of {self.sectors} sectors")

    def _with_keys(self, sector: int, keys: Keys, action: Callable[[ClassicKey], T]) -> T:
        """action(key) with each key for the sector in turn until one is accepted."""
        given = keys[sector] if isinstance(keys, Mapping) else keys
        candidates: List[ClassicKeyLike] = (
            [given] if isinstance(given, (ClassicKey, bytes, bytearray)) else list(given)
        )
        refused: Optional[AuthenticationError] = None
        for key in candidates:
            try:
                return action(classic_key(key))
            except AuthenticationError as error:
                refused = error
                # After a refused key the card must be selected again before the next one.
                self.card.reader.select(self.card)
        if refused is None:
            raise ValueError(f"no key given for sector {sector}")
        raise refused

    # Blocks.
    def read_block(self, block: int, key: ClassicKeyLike = TRANSPORT_KEY) -> bytes:
        data = _lib.buffer(BLOCK)
        record = classic_key(key)._record()
        self._call("MifC_ReadBlockAuth", ctypes.byref(record), self._serial, block, data)
        return _lib.to_bytes(data, BLOCK)

    def write_block(self, block: int, data: bytes, key: ClassicKeyLike = TRANSPORT_KEY) -> None:
        if len(data) != BLOCK:
            raise ValueError("a block is 16 bytes")
        record = classic_key(key)._record()
        self._call(
            "MifC_WriteBlockAuth", ctypes.byref(record), self._serial, block, _lib.from_bytes(data)
        )

    # Sectors.
    # The library's block runs count in 8-bit block numbers: a run that ends on block 255, the
    # last block of a 4K card, would wrap round and read or write nothing. Such a run stops one
    # block short (it still authenticates) and block 255 goes on its own.
    def _read_blocks(self, sector: int, offset: int, count: int, key: ClassicKey) -> bytes:
        data = _lib.buffer(count * BLOCK)
        record = key._record()
        last = 1 if first_block(sector) + offset + count == 256 else 0
        self._call(
            "ReadBlocksFromSector",
            ctypes.byref(record),
            self._serial,
            sector,
            offset,
            count - last,
            data,
        )
        blocks = _lib.to_bytes(data, (count - last) * BLOCK)
        if last:
            self._call("MifC_ReadBlock", 255, data)
            blocks += _lib.to_bytes(data, BLOCK)
        return blocks

    def _write_blocks(self, sector: int, offset: int, data: bytes, key: ClassicKey) -> None:
        record = key._record()
        count = len(data) // BLOCK
        last = 1 if first_block(sector) + offset + count == 256 else 0
        self._call(
            "WriteBlocksFromSector",
            ctypes.byref(record),
            self._serial,
            sector,
            offset,
            count - last,
            _lib.from_bytes(data),
        )
        if last:
            self._call("MifC_WriteBlock", 255, _lib.from_bytes(data[-BLOCK:]))

    def read_sector(self, sector: int, keys: Keys = TRANSPORT_KEY) -> bytes:
        """Every block of the sector, trailer included, as the card shows them (key A reads as
        zeros; key B too unless the access conditions let it be read)."""
        self._check_sector(sector)
        return self._with_keys(
            sector, keys, lambda key: self._read_blocks(sector, 0, block_count(sector), key)
        )

    def write_sector(self, sector: int, data: bytes, keys: Keys = TRANSPORT_KEY) -> None:
        """Writes the sector's data blocks (not the trailer). Sector 0's manufacturer block is
        not written: its 16 bytes in `data` are skipped."""
        self._check_sector(sector)
        size = (block_count(sector) - 1) * BLOCK
        if len(data) != size:
            raise ValueError(f"sector {sector} holds {size} data bytes")
        skip = 1 if sector == 0 else 0
        self._with_keys(
            sector, keys, lambda key: self._write_blocks(sector, skip, data[skip * BLOCK :], key)
        )

    def access_conditions(self, sector: int, keys: Keys = TRANSPORT_KEY) -> "AccessConditions":
        self._check_sector(sector)
        trailer = self._with_keys(
            sector, keys, lambda key: self._read_blocks(sector, block_count(sector) - 1, 1, key)
        )
        return AccessConditions.from_bytes(trailer[6:10])

    # Whole card.
    def dump(self, keys: Keys = TRANSPORT_KEY) -> bytes:
        """The card's image: every block in order (1024 bytes for a 1K card, 4096 for a 4K),
        the usual dump file format. The key that opened a sector is put into its place in the
        trailer, where the card shows zeros, so that the image restores with its keys. Raises
        AuthenticationError for a sector no key opens."""
        image = bytearray()
        for sector in range(self.sectors):

            def read(key: ClassicKey, sector: int = sector) -> bytes:
                blocks = bytearray(self._read_blocks(sector, 0, block_count(sector), key))
                at = len(blocks) - BLOCK + (0 if key.type == "A" else 10)
                blocks[at : at + 6] = key.key
                return bytes(blocks)

            image += self._with_keys(sector, keys, read)
        return bytes(image)

    def restore(self, image: bytes, keys: Keys = TRANSPORT_KEY, trailers: bool = False) -> None:
        """Writes an image made by dump() back: the data blocks of every sector (the
        manufacturer block is left alone) and, with trailers=True, each sector's trailer after
        its data (keys and access conditions change; an image with wrong access bytes can lock
        a sector for good)."""
        size = sum(block_count(sector) for sector in range(self.sectors)) * BLOCK
        if len(image) != size:
            raise ValueError(f"an image of this card is {size} bytes, not {len(image)}")
        if trailers:
            for sector in range(self.sectors):
                at = (first_block(sector) + block_count(sector) - 1) * BLOCK
                AccessConditions.from_bytes(image[at + 6 : at + 10])  # refuses broken bytes
        for sector in range(self.sectors):
            start = first_block(sector) * BLOCK
            skip = 1 if sector == 0 else 0
            count = block_count(sector) - (0 if trailers else 1)
            data = image[start + skip * BLOCK : start + count * BLOCK]
            self._with_keys(sector, keys, functools.partial(self._write_blocks, sector, skip, data))

    # Value blocks.
    def read_value(self, block: int, key: ClassicKeyLike = TRANSPORT_KEY) -> int:
        """The value of a value block; CardError when the block is not in value format."""
        return decode_value(self.read_block(block, key), block)

    def write_value(self, block: int, value: int, key: ClassicKeyLike = TRANSPORT_KEY) -> None:
        """Makes the block a value block holding `value`, with its own number as address."""
        self.write_block(block, encode_value(value, block), key)

    def increment(self, block: int, amount: int, key: ClassicKeyLike = TRANSPORT_KEY) -> None:
        self._value_operation(_lib.VALUE_OP_INCREMENT, block, amount, key)

    def decrement(self, block: int, amount: int, key: ClassicKeyLike = TRANSPORT_KEY) -> None:
        self._value_operation(_lib.VALUE_OP_DECREMENT, block, amount, key)

    def _value_operation(
        self, operation: int, block: int, amount: int, key: ClassicKeyLike
    ) -> None:
        record = classic_key(key)._record()
        self._call(
            "MifC_ProcessValueAuth", ctypes.byref(record), self._serial, operation, block, amount
        )


# The library's value-block functions each activate the card themselves, which the session
# style above avoids, so the format is built and checked here: the value, its complement and
# the value again (little endian), then the address, its complement, the address and its
# complement. A block that breaks the format raises the library's codes for it.
def encode_value(value: int, address: int) -> bytes:
    v = struct.pack("<i", value)
    inverted = bytes(b ^ 0xFF for b in v)
    a = address & 0xFF
    return v + inverted + v + bytes((a, a ^ 0xFF, a, a ^ 0xFF))


def decode_value(block: bytes, address: int) -> int:
    v, inverted, again = block[0:4], block[4:8], block[8:12]
    if v != again or any(x ^ y != 0xFF for x, y in zip(v, inverted)):
        raise CardError(_lib.KESTREL_ERR_VALUE_CORRUPTED, "read_value")
    a = block[12:16]
    if a[0] != a[2] or a[1] != a[3] or a[0] ^ a[1] != 0xFF:
        raise CardError(_lib.KESTREL_ERR_VALUE_ADDRESS_CORRUPTED, "read_value")
    if a[0] != address & 0xFF:
        raise CardError(_lib.KESTREL_ERR_VALUE_ADDRESS_MISMATCH, "read_value")
    return int(struct.unpack("<i", v)[0])


# Access conditions.
def _who(mask_a: int, mask_b: int, bit: int) -> str:
    return ("A" if mask_a & bit else "") + ("B" if mask_b & bit else "")


def _masks(rights: Any, bits: Iterable[Tuple[str, int]]) -> Tuple[int, int]:
    a = b = 0
    for name, bit in bits:
        who = getattr(rights, name)
        if set(who) - {"A", "B"}:
            raise ValueError(f"{name}={who!r}: rights are given as '', 'A', 'B' or 'AB'")
        a |= bit if "A" in who else 0
        b |= bit if "B" in who else 0
    return a, b


def _text(rights: Any) -> str:
    return " ".join(f"{f.name}={getattr(rights, f.name) or '-'}" for f in fields(rights))


@dataclass(frozen=True)
class BlockRights:
    """Which keys may read, write, increment and decrement (also transfer and restore) the
    data blocks of a group: '' (neither), 'A', 'B' or 'AB'."""

    read: str = ""
    write: str = ""
    increment: str = ""
    decrement: str = ""

    _BITS = (("read", 0x01), ("write", 0x02), ("increment", 0x04), ("decrement", 0x08))


@dataclass(frozen=True)
class TrailerRights:
    """Which keys may write key A, read and write the access bytes, read and write key B."""

    write_key_a: str = ""
    read_access: str = ""
    write_access: str = ""
    read_key_b: str = ""
    write_key_b: str = ""

    _BITS = (
        ("write_key_a", 0x02),
        ("read_access", 0x04),
        ("write_access", 0x08),
        ("read_key_b", 0x10),
        ("write_key_b", 0x20),
    )


@dataclass(frozen=True)
class AccessConditions:
    """The access bytes 6-9 of a sector trailer. blocks[n] covers data block n of a 4-block
    sector, blocks 5n to 5n+4 of a 16-block one."""

    blocks: Tuple[BlockRights, BlockRights, BlockRights]
    trailer: TrailerRights
    user_byte: int = 0x69

    @classmethod
    def from_bytes(cls, access: bytes) -> "AccessConditions":
        """Parses the four access bytes; ValueError when the inverted copies of the
        condition bits disagree with them (a card would lock such a sector)."""
        if len(access) != 4:
            raise ValueError("access conditions are 4 bytes")
        b6, b7, b8 = access[0], access[1], access[2]
        if b6 & 0x0F != ~b7 >> 4 & 0x0F or b6 >> 4 != ~b8 & 0x0F or b7 & 0x0F != ~b8 >> 4 & 0x0F:
            raise ValueError(f"access bytes {bytes(access).hex().upper()} are inconsistent")
        raw = _lib.from_bytes(access)
        a, b = ctypes.c_uint32(), ctypes.c_uint32()
        blocks = []
        for group in range(3):
            _lib.ACL_ParseDataConditions(group, raw, ctypes.byref(a), ctypes.byref(b))
            blocks.append(
                BlockRights(*(_who(a.value, b.value, bit) for _, bit in BlockRights._BITS))
            )
        _lib.ACL_ParseTrailerConditions(raw, ctypes.byref(a), ctypes.byref(b))
        trailer = TrailerRights(*(_who(a.value, b.value, bit) for _, bit in TrailerRights._BITS))
        return cls((blocks[0], blocks[1], blocks[2]), trailer, access[3])

    @classmethod
    def transport(cls) -> "AccessConditions":
        """The conditions of a new card (FF 07 80 69): key A does everything, key B is data."""
        return cls.from_bytes(b"\xff\x07\x80\x69")

    @classmethod
    def value_sector(cls) -> "AccessConditions":
        """Value blocks: key A reads and decrements, key B does everything."""
        return cls.from_bytes(_lib.VALUE_SECTOR_ACCESS)

    def to_bytes(self) -> bytes:
        """The four access bytes; ValueError for rights that no access condition grants."""
        raw = _lib.from_bytes(bytes((0, 0, 0, self.user_byte)))
        for group, rights in enumerate(self.blocks):
            if _lib.ACL_GenDataConditions(group, raw, *_masks(rights, BlockRights._BITS)) < 0:
                raise ValueError(f"no access condition grants block group {group}: {_text(rights)}")
        if _lib.ACL_GenTrailerConditions(raw, *_masks(self.trailer, TrailerRights._BITS)) < 0:
            raise ValueError(f"no access condition grants the trailer: {_text(self.trailer)}")
        return _lib.to_bytes(raw, 4)

    def __str__(self) -> str:
        lines = [f"block group {n}: {_text(rights)}" for n, rights in enumerate(self.blocks)]
        lines.append(f"trailer: {_text(self.trailer)}")
        lines.append(f"user byte: 0x{self.user_byte:02X}")
        return "\n".join(lines)

    def __repr__(self) -> str:
        groups = "; ".join(f"{n}: {_text(r)}" for n, r in enumerate(self.blocks))
        trailer = _text(self.trailer)
        return (
            f"<AccessConditions blocks {groups}; trailer: {trailer}; user 0x{self.user_byte:02X}>"
        )
