"""Readers: names, opening and closing, scanning, polling, the frame log."""
import errno
import gc
import logging
import socket

import pytest

import kestrel
from kestrel.reader import parse_reader_name


@pytest.mark.parametrize(
    "name, interface, reader_name",
    [
        ("tcp:127.0.0.1:4711", 8, "127.0.0.1:4711"),
        ("10.0.0.2:4000", 8, "10.0.0.2:4000"),
        ("COM3", 1, "COM3"),
        ("/dev/ttyUSB0", 1, "/dev/ttyUSB0"),
        ("serial:/dev/pts/4", 1, "/dev/pts/4"),
        ("usb:0", 4, "USB_0"),
        ("USB_2", 4, "USB_2"),
    ],
)
def test_reader_names(name, interface, reader_name):
    assert parse_reader_name(name) == (interface, reader_name)


@pytest.mark.parametrize("name", ["", "com3", "usb:x", "tcp:", "reader.local:4000"])
def test_names_that_are_not_readers(name):
    with pytest.raises(ValueError):
        parse_reader_name(name)


def test_open_failures_raise_and_leave_nothing_open():
    with socket.socket() as s:  # a port nobody listens on
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    with pytest.raises(kestrel.ReaderError) as raised:
        kestrel.open(f"tcp:127.0.0.1:{port}")
    assert raised.value.code == errno.ECONNREFUSED and raised.value.function == "ConnectReaderEx"
    with pytest.raises(ValueError):
        kestrel.open("usb:0")  # no product id


def test_a_reader_that_does_not_answer_times_out():
    with socket.socket() as silent:
        silent.bind(("127.0.0.1", 0))
        silent.listen()
        with kestrel.open(f"tcp:127.0.0.1:{silent.getsockname()[1]}", timeout=0.1) as reader:
            with pytest.raises(TimeoutError) as raised:
                reader.scan()
    assert (
        isinstance(raised.value, kestrel.ReaderError) and raised.value.function == "SelectIdleCard"
    )


@pytest.mark.kestrel_cards("classic1k:A1B2C3D4")
def test_reader_is_closed_when_its_block_ends_with_an_exception(kestrel_sim):
    with pytest.raises(RuntimeError):
        with kestrel.open(kestrel_sim.address) as reader:
            assert reader.scan().uid == bytes.fromhex("A1B2C3D4")
            raise RuntimeError("application failure")
    assert reader.closed
    with pytest.raises(kestrel.ReaderError) as raised:
        reader.scan()
    assert raised.value.code == 8010  # no session
    # The virtual reader serves one client at a time: it is free again.
    with kestrel.open(kestrel_sim.address, timeout=0.5) as again:
        assert again.timeout == 0.5
        assert again.scan().uid == bytes.fromhex("A1B2C3D4")


@pytest.mark.kestrel_cards("desfire:04010203040506", "ultralight:04A1B2C3D4E5F6")
def test_scan_halt_and_families(kestrel_reader):
    first = kestrel_reader.scan()
    kestrel_reader.halt()
    second = kestrel_reader.scan()
    kestrel_reader.halt()
    assert (first.family, first.atqa, first.sak) == (kestrel.CardFamily.DESFIRE, 0x0344, 0x20)
    assert (second.family, second.uid) == (
        kestrel.CardFamily.MIFARE_ULTRALIGHT,
        bytes.fromhex("04A1B2C3D4E5F6"),
    )
    with pytest.raises(kestrel.NoCardError):
        kestrel_reader.scan()
    kestrel_reader.select(first)
    assert "DESFire" in repr(first)


@pytest.mark.parametrize(
    "atqa, sak, family",
    [
        (0x0004, 0x08, "MIFARE_CLASSIC_1K"),
        (0x0002, 0x18, "MIFARE_CLASSIC_4K"),
        (0x0004, 0x09, "MIFARE_MINI"),
        (0x0044, 0x00, "MIFARE_ULTRALIGHT"),
        (0x0344, 0x20, "DESFIRE"),
        (0x0004, 0x28, "MIFARE_CLASSIC_1K"),
        (0x0048, 0x20, "ISO14443_4"),
        (0x0004, 0x01, "UNKNOWN"),
    ],
)
def test_family_from_atqa_and_sak(atqa, sak, family):
    assert kestrel.CardFamily.of(atqa, sak) is kestrel.CardFamily[family]


@pytest.mark.kestrel_cards("classic1k:A1B2C3D4")
def test_poll_reports_arrivals_and_removals(kestrel_sim, kestrel_reader):
    events = kestrel_reader.poll(interval=0.01)
    assert next(events)[0] is kestrel.CardEvent.ARRIVED
    kestrel_sim.remove("A1B2C3D4")
    assert next(events)[0] is kestrel.CardEvent.REMOVED
    kestrel_sim.add("ultralight:04112233445566")
    event, card = next(events)
    assert (event, card.uid) == (kestrel.CardEvent.ARRIVED, bytes.fromhex("04112233445566"))
    assert list(kestrel_reader.poll(interval=0.01, timeout=0.05)) == [
        (kestrel.CardEvent.ARRIVED, card)
    ]


@pytest.mark.kestrel_cards("classic1k:A1B2C3D4", firmware="bench reader 2.1")
def test_frame_log_goes_to_logging_while_traced(kestrel_reader, caplog):
    caplog.set_level(logging.DEBUG, logger="kestrel.frames")
    kestrel_reader.trace(True)
    gc.collect()  # the callbacks must outlive any collection while registered
    assert kestrel_reader.firmware_version() == "bench reader 2.1"
    kestrel_reader.scan()
    frames = [r.getMessage() for r in caplog.records if r.name == "kestrel.frames"]
    assert len(frames) == 4 and all(r.levelno == logging.DEBUG for r in caplog.records)
    assert frames[2].startswith("-> A5 ") and frames[2].split()[3] == "43"  # ActivateIdle
    assert frames[3].startswith("<- A5 ") and "A1 B2 C3 D4" in frames[3]
    kestrel_reader.trace(False)
    kestrel_reader.scan()
    assert len([r for r in caplog.records if r.name == "kestrel.frames"]) == 4


def test_readers_lists_names_open_accepts():
    for name in kestrel.readers():  # the serial lines this machine has
        parse_reader_name(name)
