"""The pytest plugin's virtual reader, and the documented examples run as they are written."""
import re
import runpy
from pathlib import Path

import pytest

import kestrel
from kestrel.pytest_plugin import VirtualReader, VirtualReaderError

DOCS = (Path(__file__).resolve().parents[2] / "docs" / "python.md").read_text()
# The complete programs of the page: Python blocks whose first line names their file.
EXAMPLES = dict(re.findall(r"```python\n# (\S+\.py)\n(.*?)```", DOCS, re.S))


def test_virtual_reader_control(kestrel_sim_factory):
    sim = kestrel_sim_factory("classic1k:A1B2C3D4", seed=3)
    again = kestrel_sim_factory("classic1k:A1B2C3D4", seed=3)
    assert sim.port != again.port and sim.address == f"tcp:127.0.0.1:{sim.port}"
    uid = sim.add("ultralight")
    assert uid == again.add("ultralight") and len(uid) == 7  # the seed makes random UIDs repeat
    assert [(c.type, c.uid, c.state) for c in sim.cards()] == [
        ("classic1k", bytes.fromhex("A1B2C3D4"), "idle"),
        ("ultralight", uid, "idle"),
    ]
    sim.remove(uid)
    with pytest.raises(VirtualReaderError, match="error: "):
        sim.remove(uid)
    assert sim.stop() == 0
    with pytest.raises(VirtualReaderError):
        sim.add("classic1k")


def test_virtual_reader_failures_are_reported(tmp_path, monkeypatch):
    sim = VirtualReader([f"classic1k:A1B2C3D4:{tmp_path}/missing/card.mfd"])
    with pytest.raises(VirtualReaderError, match="status 1(.|\n)*not saved"):
        sim.stop()  # the card's file cannot be written
    monkeypatch.setenv("KESTREL_SIM", "/bin/false")
    with pytest.raises(VirtualReaderError, match="did not start"):
        VirtualReader([])


def test_documented_plugin_example_passes(pytester):
    pytester.makepyfile(test_issue=EXAMPLES["test_issue.py"])
    pytester.runpytest().assert_outcomes(passed=3)


@pytest.mark.kestrel_cards("classic1k:A1B2C3D4", "desfire:04010203040506")
def test_documented_program_dumps_and_reads(kestrel_sim, tmp_path, monkeypatch, capsys):
    issue = runpy.run_path(str(pytester_file(tmp_path, "test_issue.py")))["issue"]
    with kestrel.open(kestrel_sim.address) as reader:
        issue(reader, "Ada Lovelace")
        reader.rf_reset()  # as if the card had been taken away and presented again
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("KESTREL_READER", kestrel_sim.address)
    program = str(pytester_file(tmp_path, "read_card.py"))
    runpy.run_path(program)  # the DESFire card comes first in the air
    assert capsys.readouterr().out == "DESFire 04010203040506\nholder: Ada Lovelace\n"
    kestrel_sim.remove("04010203040506")
    runpy.run_path(program)
    assert capsys.readouterr().out == "MIFARE Classic 1K A1B2C3D4\n1024 bytes written\n"
    assert (tmp_path / "A1B2C3D4.mfd").read_bytes()[:4] == bytes.fromhex("A1B2C3D4")


def pytester_file(directory, name):
    path = directory / name
    path.write_text(EXAMPLES[name])
    return path
