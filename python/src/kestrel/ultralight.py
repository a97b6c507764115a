"""MIFARE Ultralight: 4-byte pages, no keys."""
from __future__ import annotations

import ctypes

from . import _lib
from .reader import Card

PAGE = 4


class Ultralight:
    """A MIFARE Ultralight card the reader has activated. Page numbers are not checked here:
    the card refuses pages it does not have."""

    def __init__(self, card: Card) -> None:
        self.card = card

    def read_page(self, page: int) -> bytes:
        value = ctypes.c_uint32()
        self.card.reader._call("MifU_ReadPage", page, ctypes.byref(value))
        return bytes(value)  # the page's bytes in card order, as the library stores them

    def read(self, page: int) -> bytes:
        """Four pages (16 bytes) from `page` on; the card wraps around after its last page."""
        data = _lib.buffer(4 * PAGE)
        self.card.reader._call("MifU_Read16Bytes", page, data)
        return _lib.to_bytes(data, 4 * PAGE)

    def write_page(self, page: int, data: bytes) -> None:
        if len(data) != PAGE:
            raise ValueError("a page is 4 bytes")
        self.card.reader._call("MifU_WritePage", page, _lib.from_bytes(data))

    def dump(self, pages: int = 16) -> bytes:
        """The first `pages` pages (16 on a MIFARE Ultralight: 64 bytes)."""
        image = b"".join(self.read(page) for page in range(0, pages, 4))
        return image[: pages * PAGE]
