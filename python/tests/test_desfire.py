"""DESFire and ISO/IEC 14443-4 through the idiomatic layer."""
import pytest

import kestrel
from kestrel import AccessRights, Comm, Desfire, FileType, Iso14443_4
from kestrel.desfire import FREE, FileSettings, VersionPart
from kestrel.iso14443_4 import frame_size

UID = bytes.fromhex("04010203040506")
AID = 0x00A1B2
KEY1 = bytes(range(16))

pytestmark = pytest.mark.kestrel_cards("classic1k:C1B2C3D4", "desfire:04010203040506")


@pytest.fixture
def desfire(kestrel_reader):
    # The Classic card answers first once the DESFire card is active: Desfire() must still
    # open the card it was given.
    card = kestrel_reader.scan()
    assert card.uid == UID
    with Desfire(card) as opened:
        opened.authenticate(0)
        opened.create_application(AID, 0x0F, 2)
        opened.select(AID)
        opened.authenticate(0)
        yield opened


def test_version_applications_and_keys(desfire):
    version = desfire.version()
    assert (version.uid, version.hardware.vendor, version.hardware.storage_size) == (UID, 4, 4096)
    assert version.hardware.storage_size_exact and version.production_year == 2024
    desfire.change_key(1, KEY1, old_key=bytes(16))
    with pytest.raises(ValueError):
        desfire.change_key(1, bytes(16))  # another key needs its old value
    desfire.authenticate(1, KEY1)
    with pytest.raises(kestrel.DesfireAuthenticationError) as raised:
        desfire.authenticate(1, bytes(16))
    assert raised.value.status == 0xAE and isinstance(raised.value, kestrel.AuthenticationError)
    assert desfire.authenticated_key is None
    desfire.select(0)
    assert desfire.applications() == [AID]
    desfire.authenticate(0)
    desfire.format()
    assert desfire.applications() == []


def test_data_files_in_every_mode(desfire):
    for file, mode in enumerate(Comm):
        desfire.create_std_file(file, 64, mode)
        desfire.write(file, b"hello " + bytes([file]), offset=3)
        assert desfire.read(file, 3, 7) == b"hello " + bytes([file])
        assert desfire.read(file) == bytes(3) + b"hello " + bytes([file]) + bytes(54)
    desfire.create_backup_file(
        5, 16, Comm.MACED, AccessRights(read=FREE, write=0, read_write=0, change=0)
    )
    desfire.write(5, b"pending")
    desfire.abort()
    assert desfire.read(5, 0, 7) == bytes(7)
    assert desfire.files() == [0, 1, 2, 5]
    settings = desfire.file_settings(5)
    assert (settings.type, settings.comm, settings.size, settings.access.read) == (
        FileType.BACKUP,
        Comm.MACED,
        16,
        FREE,
    )
    with pytest.raises(kestrel.DesfireError) as raised:
        desfire.read(9)
    assert raised.value.status == 0xF0 and raised.value.function == "DF_GetFileSettings"


def test_values_records_and_transactions(desfire):
    desfire.create_value_file(1, lower_limit=-100, upper_limit=1000, value=10, mode=Comm.ENCIPHERED)
    desfire.credit(1, 500)
    desfire.debit(1, 120)
    desfire.commit()
    assert desfire.value(1) == 390
    desfire.debit(1, 490)
    desfire.commit()
    assert desfire.value(1) == -100
    settings = desfire.file_settings(1)
    assert (settings.lower_limit, settings.upper_limit, settings.limited_credit) == (
        -100,
        1000,
        False,
    )
    desfire.create_record_file(2, 4, 3, cyclic=True)
    desfire.create_record_file(3, 4, 3)
    assert [desfire.file_settings(n).type for n in (2, 3)] == [
        FileType.CYCLIC_RECORD,
        FileType.LINEAR_RECORD,
    ]
    for record in (b"r1", b"r2", b"r3"):
        desfire.write_record(2, record)
        desfire.commit()
    assert desfire.records(2) == [b"r2\0\0", b"r3\0\0"]  # a cyclic file keeps max - 1
    assert desfire.records(2, offset=0, count=1) == [b"r3\0\0"]
    assert desfire.records(2, offset=1) == [b"r2\0\0"]
    desfire.clear_records(2)
    desfire.commit()
    assert desfire.records(2) == []


@pytest.mark.parametrize(
    "access, key, expected",
    [
        (AccessRights(), 0, Comm.ENCIPHERED),  # the key holds the right: the file's mode
        (AccessRights(read=FREE), None, Comm.PLAIN),  # free access travels plain
        (AccessRights(read=FREE, read_write=1), 1, Comm.ENCIPHERED),
        (AccessRights(read=FREE, read_write=1), 0, Comm.PLAIN),
        (AccessRights(read=2, read_write=1), 0, Comm.ENCIPHERED),  # refused either way
    ],
)
def test_the_mode_a_command_travels_in(access, key, expected):
    settings = FileSettings(FileType.STANDARD, Comm.ENCIPHERED, access, size=8)
    assert settings.comm_for(("read", "read_write"), key) is expected


@pytest.mark.parametrize(
    "ats, size",
    [(b"\x01", 32), (bytes.fromhex("0675778102"), 64), (b"\x02\x08", 256), (b"\x02\x0F", 1024)],
)
def test_frame_size_from_the_ats(ats, size):
    assert frame_size(ats) == size


def test_version_storage_sizes():
    assert VersionPart.decode(bytes([4, 1, 1, 1, 0, 0x1A, 5])).storage_size == 8192
    odd = VersionPart.decode(bytes([4, 1, 1, 1, 0, 0x19, 5]))
    assert (odd.storage_size, odd.storage_size_exact) == (4096, False)


@pytest.mark.parametrize("key", [b"", bytes(7), bytes(24), "0011223344556677"])
def test_desfire_keys_are_8_or_16_bytes(key):
    with pytest.raises(ValueError):
        kestrel.DesfireKey(key)


def test_a_des_key_is_a_3des_key_with_equal_halves():
    assert kestrel.DesfireKey(bytes(range(8))).key == bytes(range(8)) * 2
    assert "00" not in repr(kestrel.DesfireKey(bytes(16)))  # keys stay out of logs


def test_iso14443_4_exchange(kestrel_reader):
    card = kestrel_reader.scan()
    iso = Iso14443_4(card)
    assert iso.transceive(b"\x60")[:2] == b"\xAF\x04"  # activated on first use
    assert iso.ats == bytes.fromhex("067577810280")
    assert iso.transceive(b"\xAF")[0] == 0xAF
    iso.deselect()
    assert iso.rats() == bytes.fromhex("067577810280")
    iso.pps()
    kestrel_reader.halt()
    with pytest.raises(kestrel.CardError) as raised:
        Iso14443_4(kestrel_reader.scan()).rats()  # the Classic card
    assert raised.value.code == 8045
