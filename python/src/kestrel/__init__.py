"""kestrel: contactless card readers and their cards from Python, over the KestrelAPI library.

    import kestrel
    with kestrel.open("tcp:127.0.0.1:4711") as reader:
        card = reader.scan()
        print(card.uid.hex(), card.family)

Bytes in, bytes out; failures raise KestrelError subclasses. See docs/python.md.
"""
from ._lib import VERSION as __version__
from ._lib import LibraryNotFoundError
from .classic import AccessConditions, BlockRights, MifareClassic, TrailerRights
from .desfire import AccessRights, Comm, Desfire, DesfireVersion, FileSettings, FileType
from .errors import (
    AuthenticationError,
    CardError,
    DesfireAuthenticationError,
    DesfireError,
    KestrelError,
    KestrelTimeoutError,
    NoCardError,
    ReaderError,
)
from .iso14443_4 import Iso14443_4
from .keys import DESFIRE_DEFAULT_KEY, TRANSPORT_KEY, ClassicKey, DesfireKey
from .reader import Card, CardEvent, CardFamily, Reader, open, readers
from .ultralight import Ultralight

__all__ = [
    "AccessConditions",
    "AccessRights",
    "AuthenticationError",
    "BlockRights",
    "Card",
    "CardError",
    "CardEvent",
    "CardFamily",
    "ClassicKey",
    "Comm",
    "DESFIRE_DEFAULT_KEY",
    "Desfire",
    "DesfireAuthenticationError",
    "DesfireError",
    "DesfireKey",
    "DesfireVersion",
    "FileSettings",
    "FileType",
    "Iso14443_4",
    "KestrelError",
    "KestrelTimeoutError",
    "LibraryNotFoundError",
    "MifareClassic",
    "NoCardError",
    "Reader",
    "ReaderError",
    "TRANSPORT_KEY",
    "TrailerRights",
    "Ultralight",
    "__version__",
    "open",
    "readers",
]
