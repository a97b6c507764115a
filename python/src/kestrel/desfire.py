"""MIFARE DESFire: applications, files, data, values, records, transactions and keys."""
from __future__ import annotations

import ctypes
import enum
from dataclasses import dataclass
from typing import Any, List, Optional, Tuple

from . import _lib
from .errors import DesfireError
from .iso14443_4 import activate, frame_size
from .keys import DESFIRE_DEFAULT_KEY, DesfireKeyLike, desfire_key
from .reader import Card

FREE = _lib.DF_ACCESS_FREE
NEVER = _lib.DF_ACCESS_NEVER


class Comm(enum.IntEnum):
    """How a file's data travels: plain, with a MAC, or enciphered under the session key."""

    PLAIN = _lib.DF_COMM_PLAIN
    MACED = _lib.DF_COMM_MACED
    ENCIPHERED = _lib.DF_COMM_ENCIPHERED

    @classmethod
    def of_settings(cls, settings: int) -> "Comm":
        # The low two bits; 0b10 is plain as well.
        return cls(settings & 0x03) if settings & 0x03 != 0x02 else cls.PLAIN


class FileType(enum.IntEnum):
    STANDARD = 0
    BACKUP = 1
    VALUE = 2
    LINEAR_RECORD = 3
    CYCLIC_RECORD = 4


@dataclass(frozen=True)
class AccessRights:
    """The key number (0-13), FREE or NEVER for each kind of access to a file. The default
    gives every access to key 0."""

    read: int = 0
    write: int = 0
    read_write: int = 0
    change: int = 0

    def _buffer(self) -> Any:
        return _lib.from_bytes(bytes((self.read, self.write, self.read_write, self.change)))


@dataclass(frozen=True)
class FileSettings:
    """A file's settings; the fields of the other file types are None."""

    type: FileType
    comm: Comm
    access: AccessRights
    size: Optional[int] = None  # standard and backup files
    lower_limit: Optional[int] = None  # value files
    upper_limit: Optional[int] = None
    limited_credit_value: Optional[int] = None
    limited_credit: Optional[bool] = None
    record_size: Optional[int] = None  # record files
    max_records: Optional[int] = None
    records: Optional[int] = None

    @classmethod
    def decode(cls, comm: int, file_type: int, access: bytes, specific: bytes) -> "FileSettings":
        kind = FileType(file_type)
        common = (kind, Comm.of_settings(comm), AccessRights(*access))

        def number(at: int, size: int, signed: bool = False) -> int:
            return int.from_bytes(specific[at : at + size], "little", signed=signed)

        if kind in (FileType.STANDARD, FileType.BACKUP):
            return cls(*common, size=number(0, 3))
        if kind is FileType.VALUE:
            return cls(
                *common,
                lower_limit=number(0, 4, True),
                upper_limit=number(4, 4, True),
                limited_credit_value=number(8, 4, True),
                limited_credit=bool(specific[12]),
            )
        return cls(
            *common, record_size=number(0, 3), max_records=number(3, 3), records=number(6, 3)
        )

    def comm_for(self, rights: Tuple[str, ...], key: Optional[int]) -> Comm:
        """How the card moves data for a command that any of `rights` allows, with key `key`
        authenticated (None: no authentication): in the file's mode when that key holds one of
        the rights, else plain when one of them is free (the card's rule)."""
        granted = [getattr(self.access, right) for right in rights]
        if key is not None and key in granted:
            return self.comm
        return Comm.PLAIN if FREE in granted else self.comm


# The access rights each command needs (any one of them).
_READ = ("read", "read_write")
_WRITE = ("write", "read_write")
_GET_VALUE = ("read", "write", "read_write")
_CREDIT = ("read_write",)
_DEBIT = ("read", "write", "read_write")
_LIMITED_CREDIT = ("write", "read_write")


@dataclass(frozen=True)
class VersionPart:
    vendor: int
    type: int
    subtype: int
    major: int
    minor: int
    storage_size: int  # bytes; when not exact, the storage lies between this and twice it
    storage_size_exact: bool
    protocol: int

    @classmethod
    def decode(cls, raw: bytes) -> "VersionPart":
        storage = raw[5]
        return cls(
            raw[0], raw[1], raw[2], raw[3], raw[4], 1 << (storage >> 1), not storage & 1, raw[6]
        )


@dataclass(frozen=True)
class DesfireVersion:
    hardware: VersionPart
    software: VersionPart
    uid: bytes
    batch: bytes
    production_week: int
    production_year: int

    @classmethod
    def decode(cls, raw: bytes) -> "DesfireVersion":
        def bcd(byte: int) -> int:
            return (byte >> 4) * 10 + (byte & 0x0F)

        return cls(
            VersionPart.decode(raw[0:7]),
            VersionPart.decode(raw[7:14]),
            raw[14:21],
            raw[21:26],
            bcd(raw[26]),
            2000 + bcd(raw[27]),
        )


class Desfire:
    """A DESFire card: Desfire(card) activates it for the native command set (ISO/IEC
    14443-4, see iso14443_4.activate()). Use it as a context manager, or call close(), to free
    the library's DESFire context.

    After authenticate() the object keeps the session key and hands it to every command that
    needs it; selecting another application ends the authentication. `mode` arguments
    (Comm.PLAIN, MACED, ENCIPHERED) default to the mode the card uses for the command (see
    FileSettings.comm_for), which costs one command to read the file's settings.
    """

    def __init__(self, card: Card) -> None:
        self.card = card
        self._session_key: Optional[Any] = None
        self._key_number: Optional[int] = None
        ats = activate(card)
        self._call("DF_InitData")
        self._call("DF_SetFrameSize", frame_size(ats))

    def __enter__(self) -> "Desfire":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        self._forget_session()
        if not self.card.reader.closed:  # closing the reader freed the context already
            self._call("DF_FreeData")

    def _call(self, function: str, *arguments: Any) -> None:
        self.card.reader._call(function, *arguments)

    def _forget_session(self) -> None:
        if self._session_key is not None:
            ctypes.memset(self._session_key, 0, len(self._session_key))
        self._session_key = None
        self._key_number = None

    @property
    def authenticated_key(self) -> Optional[int]:
        """The key number of the authentication in force, or None."""
        return self._key_number

    def _mode(self, file: int, mode: Optional[Comm], rights: Tuple[str, ...]) -> Comm:
        if mode is not None:
            return Comm(mode)
        return self.file_settings(file).comm_for(rights, self._key_number)

    # Card and applications.
    def version(self) -> DesfireVersion:
        data = _lib.buffer(64)
        length = ctypes.c_uint16(64)
        self._call("DF_GetVersion", data, ctypes.byref(length))
        if length.value < 28:
            raise DesfireError(_lib.KESTREL_ERR_WRONG_ANSWER_LENGTH, "DF_GetVersion")
        return DesfireVersion.decode(_lib.to_bytes(data, 28))

    def authenticate(self, key_number: int = 0, key: DesfireKeyLike = DESFIRE_DEFAULT_KEY) -> None:
        """Authenticates with a key of the selected application (or of the card)."""
        session_key = _lib.buffer(_lib.DF_KEY_LENGTH)
        self._forget_session()
        self._call("DF_AuthKey", key_number, desfire_key(key)._buffer(), session_key)
        self._session_key, self._key_number = session_key, key_number

    def applications(self) -> List[int]:
        aids = (ctypes.c_uint32 * 28)()
        count = ctypes.c_uint16(28)
        self._call("DF_ListApps", aids, ctypes.byref(count))
        return list(aids[: count.value])

    def select(self, aid: int) -> None:
        """Selects an application (0: the card level); ends the authentication."""
        self._forget_session()
        self._call("DF_SelectApp", aid)

    def create_application(self, aid: int, key_settings: int = 0x0F, keys: int = 1) -> None:
        self._call("DF_CreateApp", aid, key_settings, keys)

    def delete_application(self, aid: int) -> None:
        self._call("DF_DeleteApp", aid)

    def format(self) -> None:
        """Deletes every application (needs the card master key's authentication)."""
        self._call("DF_FormatCard")

    # Keys.
    def change_key(
        self, key_number: int, new_key: DesfireKeyLike, old_key: Optional[DesfireKeyLike] = None
    ) -> None:
        """Changes a key of the selected application. Changing the key of the authentication
        in force needs no old key and ends the authentication; any other key needs its
        present value as old_key."""
        new = desfire_key(new_key)._buffer()
        if key_number == self._key_number:
            self._call("DF_ChangeCurKey", key_number, new, self._session_key)
            self._forget_session()
        elif old_key is None:
            raise ValueError("changing another key than the authenticated one needs old_key")
        else:
            self._call(
                "DF_ChangeKey", key_number, desfire_key(old_key)._buffer(), new, self._session_key
            )

    def key_settings(self) -> Tuple[int, int]:
        """The key settings byte and the number of keys of the selected application."""
        settings, keys = ctypes.c_uint8(), ctypes.c_uint8()
        self._call("DF_GetKeySettings", ctypes.byref(settings), ctypes.byref(keys))
        return settings.value, keys.value

    def change_key_settings(self, settings: int) -> None:
        self._call("DF_ChangeKeySettings", settings, self._session_key)

    def key_version(self, key_number: int) -> int:
        version = ctypes.c_uint8()
        self._call("DF_GetKeyVersion", key_number, ctypes.byref(version))
        return version.value

    # Files.
    def files(self) -> List[int]:
        ids = _lib.buffer(16)
        count = ctypes.c_uint8()
        self._call("DF_GetFileIDs", ctypes.byref(count), ids)
        return list(_lib.to_bytes(ids, count.value))

    def file_settings(self, file: int) -> FileSettings:
        comm, kind, length = ctypes.c_uint8(), ctypes.c_uint8(), ctypes.c_uint8(13)
        access, specific = _lib.buffer(4), _lib.buffer(13)
        self._call(
            "DF_GetFileSettings",
            file,
            ctypes.byref(comm),
            ctypes.byref(kind),
            access,
            ctypes.byref(length),
            specific,
        )
        return FileSettings.decode(
            comm.value, kind.value, _lib.to_bytes(access, 4), _lib.to_bytes(specific, length.value)
        )

    def create_std_file(
        self, file: int, size: int, mode: Comm = Comm.PLAIN, access: AccessRights = AccessRights()
    ) -> None:
        self._call("DF_CreateStdFile", file, mode, access._buffer(), size)

    def create_backup_file(
        self, file: int, size: int, mode: Comm = Comm.PLAIN, access: AccessRights = AccessRights()
    ) -> None:
        self._call("DF_CreateBackupFile", file, mode, access._buffer(), size)

    def create_value_file(
        self,
        file: int,
        lower_limit: int = 0,
        upper_limit: int = 0x7FFFFFFF,
        value: int = 0,
        limited_credit: bool = False,
        mode: Comm = Comm.PLAIN,
        access: AccessRights = AccessRights(),
    ) -> None:
        self._call(
            "DF_CreateValueFile",
            file,
            mode,
            access._buffer(),
            lower_limit & 0xFFFFFFFF,
            upper_limit & 0xFFFFFFFF,
            value & 0xFFFFFFFF,
            int(limited_credit),
        )

    def create_record_file(
        self,
        file: int,
        record_size: int,
        max_records: int,
        cyclic: bool = False,
        mode: Comm = Comm.PLAIN,
        access: AccessRights = AccessRights(),
    ) -> None:
        """Creates a linear record file, or a cyclic one with cyclic=True (which holds at
        most max_records - 1 records at once)."""
        # The library's flag picks the command byte the other way round from the card's
        # command set (it keeps that for older applications): a cyclic file asks for 0xC0,
        # which the library sends for cyclic=0.
        self._call(
            "DF_CreateRecordFile",
            file,
            mode,
            access._buffer(),
            record_size,
            max_records,
            int(not cyclic),
        )

    def delete_file(self, file: int) -> None:
        self._call("DF_DeleteFile", file)

    def change_file_settings(self, file: int, mode: Comm, access: AccessRights) -> None:
        self._call("DF_ChangeFileSettings", file, mode, access._buffer(), self._session_key)

    # Data.
    def read(
        self, file: int, offset: int = 0, length: Optional[int] = None, mode: Optional[Comm] = None
    ) -> bytes:
        """Bytes of a standard or backup file: `length` bytes from `offset`, or the rest."""
        if length is None or mode is None:
            settings = self.file_settings(file)
            mode = settings.comm_for(_READ, self._key_number) if mode is None else mode
            if length is None:
                length = (settings.size or 0) - offset
        if length <= 0:
            return b""
        data = _lib.buffer(length)
        got = ctypes.c_uint32(length)
        self._call("DF_ReadData", file, mode, offset, ctypes.byref(got), data, self._session_key)
        return _lib.to_bytes(data, min(got.value, length))

    def _transfer(self, function: str, file: int, data: bytes, offset: int, mode: Comm) -> None:
        self._call(
            function, file, mode, offset, len(data), _lib.from_bytes(data), self._session_key
        )

    def write(self, file: int, data: bytes, offset: int = 0, mode: Optional[Comm] = None) -> None:
        self._transfer("DF_WriteData", file, data, offset, self._mode(file, mode, _WRITE))

    def value(self, file: int, mode: Optional[Comm] = None) -> int:
        value = ctypes.c_uint32()
        mode = self._mode(file, mode, _GET_VALUE)
        self._call("DF_GetValue", file, mode, ctypes.byref(value), self._session_key)
        return int.from_bytes(bytes(value), "little", signed=True)

    def _change_value(self, function: str, file: int, amount: int, mode: Comm) -> None:
        self._call(function, file, mode, amount, self._session_key)

    def credit(self, file: int, amount: int, mode: Optional[Comm] = None) -> None:
        """Adds `amount` (takes effect with commit(), as debit and limited_credit do)."""
        self._change_value("DF_Credit", file, amount, self._mode(file, mode, _CREDIT))

    def debit(self, file: int, amount: int, mode: Optional[Comm] = None) -> None:
        self._change_value("DF_Debit", file, amount, self._mode(file, mode, _DEBIT))

    def limited_credit(self, file: int, amount: int, mode: Optional[Comm] = None) -> None:
        self._change_value(
            "DF_LimitedCredit", file, amount, self._mode(file, mode, _LIMITED_CREDIT)
        )

    def write_record(
        self, file: int, data: bytes, offset: int = 0, mode: Optional[Comm] = None
    ) -> None:
        """Writes (part of) a new record (takes effect with commit())."""
        self._transfer("DF_WriteRecord", file, data, offset, self._mode(file, mode, _WRITE))

    def records(
        self, file: int, offset: int = 0, count: int = 0, mode: Optional[Comm] = None
    ) -> List[bytes]:
        """`count` records (0: all) from record `offset` on, counted back from the newest
        (0: the newest), in the order they were written."""
        settings = self.file_settings(file)
        if not settings.records:
            return []  # the card refuses to read an empty file (boundary error)
        size = settings.record_size or 0
        mode = settings.comm_for(_READ, self._key_number) if mode is None else mode
        # "All" is asked for as the number of records the file holds from the offset on, and
        # the buffer's capacity goes with it: the library refuses an answer that does not fit.
        # An offset beyond the records leaves the card to refuse it.
        count = count or max(settings.records - offset, 1)
        data = _lib.buffer(count * size)
        got = ctypes.c_uint32(count)
        length = ctypes.c_uint32(count * size)
        self._call(
            "DF_ReadRecordsEx",
            file,
            mode,
            offset,
            ctypes.byref(got),
            data,
            ctypes.byref(length),
            size,
            self._session_key,
        )
        raw = _lib.to_bytes(data, length.value - length.value % size)
        return [raw[i : i + size] for i in range(0, len(raw), size)]

    def clear_records(self, file: int) -> None:
        self._call("DF_ClearRecords", file)

    def commit(self) -> None:
        self._call("DF_Commit")

    def abort(self) -> None:
        self._call("DF_Abort")
