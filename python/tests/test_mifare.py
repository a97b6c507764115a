"""MIFARE Classic and Ultralight through the idiomatic layer."""
import pytest

import kestrel
from kestrel import (
    AccessConditions,
    BlockRights,
    ClassicKey,
    MifareClassic,
    TrailerRights,
    Ultralight,
)
from kestrel.classic import decode_value, encode_value

WRONG = ClassicKey(bytes(6))
TRANSPORT_TRAILER = bytes.fromhex("FFFFFFFFFFFF FF078069 FFFFFFFFFFFF")


@pytest.fixture
def classic(kestrel_reader):
    return MifareClassic(kestrel_reader.scan())


@pytest.mark.kestrel_cards("classic1k:A2B2C3D4", "classic1k:C1B2C3D4")
def test_blocks_sectors_dump_and_restore(kestrel_reader, classic):
    assert classic.card.uid == bytes.fromhex("A2B2C3D4")
    classic.write_block(5, bytes(range(16)))
    assert classic.read_block(5) == bytes(range(16))
    data = bytes(range(48, 96))
    classic.write_sector(
        2, data, keys=[WRONG, kestrel.TRANSPORT_KEY]
    )  # a refused key, then the right one
    assert classic.read_sector(2)[:48] == data
    image = classic.dump([WRONG, kestrel.TRANSPORT_KEY])
    assert len(image) == 1024 and image[:4] == classic.card.uid
    # Key A, which the card shows as zeros, is put in its place in every trailer.
    assert all(image[at : at + 16] == TRANSPORT_TRAILER for at in range(48, 1024, 64))
    assert image[80:96] == bytes(range(16)) and image[128:176] == data
    with pytest.raises(kestrel.AuthenticationError):
        classic.dump(WRONG)
    # Per-sector keys: sector 1 now opens only with its own key A.
    own = ClassicKey(bytes.fromhex("A0A1A2A3A4A5"))
    classic.write_block(7, own.key + TRANSPORT_TRAILER[6:])
    keys = {sector: kestrel.TRANSPORT_KEY for sector in range(16)}
    assert classic.dump({**keys, 1: own})[112:118] == own.key
    with pytest.raises(kestrel.AuthenticationError):
        classic.dump(keys)
    with pytest.raises(ValueError):
        ClassicKey(bytes(6), "C")
    with pytest.raises(ValueError):
        classic.restore(image[:-1])

    # Another card in the same field takes the image; its own block 0 stays.
    kestrel_reader.halt()
    other = MifareClassic(kestrel_reader.scan())
    assert other.card.uid == bytes.fromhex("C1B2C3D4")
    other.restore(image, trailers=True)
    copied = other.dump()
    assert copied[16:] == image[16:] and copied[:4] == other.card.uid


@pytest.mark.kestrel_cards("classic4k")
def test_a_4k_card_has_40_sectors_of_4_and_16_blocks(classic):
    assert classic.sectors == 40
    image = classic.dump()
    assert len(image) == 4096 and image[4080 + 6 : 4080 + 10] == bytes.fromhex("FF078069")
    assert len(classic.read_sector(32)) == 256
    changed = image[:4000] + bytes(range(80)) + image[4080:]
    classic.restore(changed, trailers=True)  # the last sector ends on block 255
    assert classic.dump() == changed
    with pytest.raises(ValueError):
        classic.read_sector(40)


@pytest.mark.kestrel_cards("classic1k")
def test_value_blocks(classic):
    key_b = ClassicKey(bytes.fromhex("B0B1B2B3B4B5"), "B")
    trailer = bytes(6) + AccessConditions.value_sector().to_bytes() + key_b.key
    classic.write_block(7, bytes.fromhex("A0A1A2A3A4A5") + trailer[6:])
    classic.write_value(4, 100, key_b)
    classic.increment(4, 50, key_b)
    classic.decrement(4, 30, ClassicKey(bytes.fromhex("A0A1A2A3A4A5")))  # key A may decrement
    assert classic.read_value(4, key_b) == 120
    assert classic.access_conditions(1, key_b) == AccessConditions.value_sector()
    with pytest.raises(kestrel.AuthenticationError):
        classic.increment(4, 1, ClassicKey(bytes.fromhex("A0A1A2A3A4A5")))  # but not increment


@pytest.mark.parametrize(
    "change, code",
    [
        (lambda b: b, None),
        (lambda b: b[:4] + b"\x00" + b[5:], 8030),
        (lambda b: b[:8] + b"\x01" + b[9:], 8030),
        (lambda b: b[:13] + b"\x00" + b[14:], 8033),
        (lambda b: b[:12] + b"\x09\xF6\x09\xF6", 8035),
    ],
)
def test_value_format(change, code):
    block = change(encode_value(-5, 8))
    if code is None:
        assert decode_value(block, 8) == -5 and block[12:] == bytes.fromhex("08F708F7")
    else:
        with pytest.raises(kestrel.CardError) as raised:
            decode_value(block, 8)
        assert raised.value.code == code


def test_access_conditions_parse_build_and_refuse():
    transport = AccessConditions.from_bytes(bytes.fromhex("FF078069"))
    assert transport == AccessConditions.transport()
    assert transport.blocks[0] == BlockRights("AB", "AB", "AB", "AB")
    assert transport.trailer == TrailerRights(
        write_key_a="A", read_access="A", write_access="A", read_key_b="A", write_key_b="A"
    )
    assert transport.to_bytes() == bytes.fromhex("FF078069")
    value = AccessConditions.value_sector()
    assert value.blocks[1] == BlockRights(read="AB", write="B", increment="B", decrement="AB")
    assert value.to_bytes() == bytes.fromhex("08778F00")
    mixed = AccessConditions(
        (BlockRights(read="AB"), BlockRights(read="B", write="B"), BlockRights()),
        TrailerRights(read_access="AB", write_access="B"),
        user_byte=0x42,
    )
    assert AccessConditions.from_bytes(mixed.to_bytes()) == mixed
    assert "read=AB write=- increment=- decrement=-" in str(mixed) and "0x42" in repr(mixed)
    with pytest.raises(ValueError):
        AccessConditions.from_bytes(bytes.fromhex("FF078169"))  # an inverted bit disagrees
    with pytest.raises(ValueError):
        AccessConditions(
            (BlockRights(write="A"),) * 3, transport.trailer
        ).to_bytes()  # no such condition


@pytest.mark.kestrel_cards("ultralight:04A1B2C3D4E5F6")
def test_ultralight_pages(kestrel_reader):
    card = Ultralight(kestrel_reader.scan())
    card.write_page(4, b"\x01\x02\x03\x04")
    assert card.read_page(4) == b"\x01\x02\x03\x04"
    assert card.read(4)[:4] == b"\x01\x02\x03\x04"
    image = card.dump()
    assert (
        len(image) == 64
        and image[:3] == bytes.fromhex("04A1B2")
        and image[16:20] == b"\x01\x02\x03\x04"
    )
    with pytest.raises(ValueError):
        card.write_page(5, b"\x01")
