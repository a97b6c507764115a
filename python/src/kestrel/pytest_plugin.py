"""pytest plugin: a virtual reader with cards in its field for any test, no hardware needed.

Fixtures (the plugin is registered when the package is installed):

kestrel_sim          a running kestrel-sim program with the cards of the test's
                     @pytest.mark.kestrel_cards("classic1k:A1B2C3D4", "desfire", ...) marker
                     (without a marker: one classic1k card with a random UID); stopped after
                     the test
kestrel_reader       a kestrel.Reader connected to kestrel_sim, closed after the test
kestrel_sim_factory  starts more virtual readers: kestrel_sim_factory("desfire", seed=7)

The program is found through the environment variable KESTREL_SIM, else on PATH.
"""
from __future__ import annotations

import os
import queue
import shutil
import subprocess
import threading
from dataclasses import dataclass
from typing import Callable, Iterator, List, Optional, Union

import pytest

import kestrel

_ANSWER_SECONDS = 10.0


@dataclass(frozen=True)
class SimCard:
    """A card in the virtual reader's field."""

    type: str
    uid: bytes
    state: str  # idle, ready, active or halt


class VirtualReaderError(RuntimeError):
    """The virtual reader refused a command or did not behave."""


class VirtualReader:
    """A kestrel-sim program listening on a free TCP port of 127.0.0.1, driven through its
    standard input (one command line, one answer line)."""

    def __init__(
        self,
        cards: List[str],
        program: Optional[str] = None,
        seed: Optional[int] = None,
        firmware: Optional[str] = None,
        rfscan: bool = False,
        log: bool = False,
    ) -> None:
        program = program or os.environ.get("KESTREL_SIM") or shutil.which("kestrel-sim")
        if not program:
            raise VirtualReaderError("kestrel-sim not found: put it on PATH or set KESTREL_SIM")
        command = [program, "--tcp", "127.0.0.1:0"]
        for card in cards:
            command += ["--card", card]
        if seed is not None:
            command += ["--seed", str(seed)]
        if firmware is not None:
            command += ["--firmware", firmware]
        command += ["--rfscan"] if rfscan else []
        command += ["--log"] if log else []
        self._process = subprocess.Popen(
            command,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            bufsize=1,
        )
        # Reader threads turn the pipes into queues, so every wait has a time-out on every
        # platform and a chatty standard error (--log) can never fill up and block the program.
        self._lines: "queue.Queue[Optional[str]]" = queue.Queue()
        self._errors: List[str] = []
        self._pumps = [
            threading.Thread(target=self._pump, args=(stream, put), daemon=True)
            for stream, put in (
                (self._process.stdout, self._lines.put),
                (self._process.stderr, self._errors.append),
            )
        ]
        for pump in self._pumps:
            pump.start()
        first = self._next_line()
        if not first.startswith("listening on tcp "):
            self._kill()
            raise VirtualReaderError(f"kestrel-sim did not start: {first or self.stderr}")
        self.host, _, port = first[len("listening on tcp ") :].rpartition(":")
        self.port = int(port)

    @staticmethod
    def _pump(stream: object, put: Callable[[Optional[str]], None]) -> None:
        for line in stream:  # type: ignore[attr-defined]
            put(line.rstrip("\n"))
        put(None)

    def _next_line(self) -> str:
        try:
            line = self._lines.get(timeout=_ANSWER_SECONDS)
        except queue.Empty:
            raise VirtualReaderError("kestrel-sim did not answer in time") from None
        return "" if line is None else line

    @property
    def address(self) -> str:
        """The name kestrel.open() connects to."""
        return f"tcp:{self.host}:{self.port}"

    @property
    def stderr(self) -> str:
        """What the program wrote to standard error so far (its frame log with log=True)."""
        return "\n".join(line for line in self._errors if line is not None)

    def command(self, line: str) -> str:
        """Sends one command line and returns the answer; VirtualReaderError for an error."""
        if self._process.poll() is not None:
            raise VirtualReaderError("kestrel-sim is not running")
        self._process.stdin.write(line + "\n")  # type: ignore[union-attr]
        self._process.stdin.flush()  # type: ignore[union-attr]
        answer = self._next_line()
        if answer.startswith("error: ") or not answer:
            raise VirtualReaderError(f"kestrel-sim: {line!r}: {answer or 'no answer'}")
        return answer

    def add(self, card: str) -> bytes:
        """Puts a card (TYPE[:UIDHEX[:FILE]]) into the field; returns its UID."""
        return bytes.fromhex(self.command(f"add {card}").split()[-1])

    def remove(self, uid: Union[bytes, str]) -> None:
        """Takes the card out of the field."""
        self.command(f"remove {uid.hex() if isinstance(uid, bytes) else uid}")

    def save(self, uid: Union[bytes, str], path: Optional[str] = None) -> None:
        """Writes the card's memory to `path` (default: the card's own file)."""
        self.command(f"save {uid.hex() if isinstance(uid, bytes) else uid} {path or ''}".rstrip())

    def cards(self) -> List[SimCard]:
        """The cards in the field."""
        answer = self.command("list")
        _, _, listed = answer.partition(": ")
        return [
            SimCard(kind, bytes.fromhex(uid), state)
            for kind, uid, state in (entry.split() for entry in listed.split(", ") if entry)
        ]

    def stop(self) -> int:
        """Stops the program (it saves cards that have a file first); returns its exit status,
        VirtualReaderError when it had to be killed or failed."""
        if self._process.poll() is None:
            try:
                self.command("quit")
                self._process.stdin.close()  # type: ignore[union-attr]
                self._process.wait(timeout=_ANSWER_SECONDS)
            except (VirtualReaderError, OSError, subprocess.TimeoutExpired):
                self._kill()
                raise VirtualReaderError(f"kestrel-sim did not stop; it was killed\n{self.stderr}")
        self._drain()
        status = self._process.returncode
        if status != 0:
            raise VirtualReaderError(f"kestrel-sim ended with status {status}\n{self.stderr}")
        return status

    def _kill(self) -> None:
        self._process.kill()
        self._process.wait()
        self._drain()

    def _drain(self) -> None:
        # The program has ended; its last words may still be on their way through the pipes.
        for pump in self._pumps:
            pump.join(timeout=_ANSWER_SECONDS)

    def __enter__(self) -> "VirtualReader":
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers",
        "kestrel_cards(*cards, seed=None, firmware=None, rfscan=False, log=False): the cards "
        "(TYPE[:UIDHEX[:FILE]]) and options of the test's kestrel_sim virtual reader",
    )


@pytest.fixture
def kestrel_sim_factory() -> Iterator[Callable[..., VirtualReader]]:
    """Starts virtual readers: factory(*cards, seed=None, firmware=None, rfscan=False,
    log=False); all of them are stopped after the test."""
    started: List[VirtualReader] = []

    def start(*cards: str, **options: object) -> VirtualReader:
        sim = VirtualReader(list(cards), **options)  # type: ignore[arg-type]
        started.append(sim)
        return sim

    yield start
    failures = []
    for sim in started:
        try:
            sim.stop()
        except VirtualReaderError as error:
            failures.append(str(error))
    if failures:
        pytest.fail("\n".join(failures), pytrace=False)


@pytest.fixture
def kestrel_sim(
    request: pytest.FixtureRequest, kestrel_sim_factory: Callable[..., VirtualReader]
) -> VirtualReader:
    """A virtual reader with the cards of the test's kestrel_cards marker."""
    marker = request.node.get_closest_marker("kestrel_cards")
    if marker is None:
        return kestrel_sim_factory()
    return kestrel_sim_factory(*marker.args, **marker.kwargs)


@pytest.fixture
def kestrel_reader(kestrel_sim: VirtualReader) -> Iterator[kestrel.Reader]:
    """A reader connected to kestrel_sim."""
    with kestrel.open(kestrel_sim.address) as reader:
        yield reader
