"""The binding against the header: declarations, records, library loading, result codes."""
import ctypes
import errno
import importlib.util
import re
from pathlib import Path

import pytest

import kestrel
from kestrel import _declarations, _lib
from kestrel.errors import error_class

ROOT = Path(__file__).resolve().parents[2]
HEADER = (ROOT / "include" / "KestrelAPI.h").read_text()

spec = importlib.util.spec_from_file_location(
    "declarations", ROOT / "python" / "tools" / "declarations.py"
)
declarations = importlib.util.module_from_spec(spec)
spec.loader.exec_module(declarations)


def table(module):
    return {
        key: getattr(module, key)
        for key in ("VERSION", "CONSTANTS", "OPAQUE", "STRUCTS", "CALLBACKS", "FUNCTIONS")
    }


def test_every_export_of_the_header_is_declared_as_the_header_declares_it():
    found = declarations.differences(declarations.parse(HEADER), table(_declarations))
    assert not found, "regenerate with python/tools/declarations.py:\n" + "\n".join(found)
    loaded = _lib.library()
    assert [name for name in _declarations.FUNCTIONS if not hasattr(loaded, name)] == []


def as_doxygen(text):
    # The same header with its block comments turned into Doxygen comments of both styles.
    text = re.sub(r"/\*(?!\*)", "/**", text)
    return re.sub(
        r"^(KESTREL_EXPORT)", r"/// @brief exported\n//! (see above)\n\1", text, flags=re.M
    )


@pytest.mark.parametrize(
    "edit, expected",
    [
        (as_doxygen, []),
        (
            lambda t: t.replace(
                "KESTREL_EXPORT int32_t KESTREL_CALL HaltCard(KestrelSession* session);",
                "KESTREL_EXPORT int32_t KESTREL_CALL HaltCard(KestrelSession* session);\n"
                "KESTREL_EXPORT int32_t KESTREL_CALL HaltAll(KestrelSession* session,\n"
                "                                           uint32_t reserved);",
            ),
            ["FUNCTIONS HaltAll: missing from the binding"],
        ),
        (
            lambda t: t.replace(
                "RfReset(KestrelSession* session, uint32_t duration)",
                "RfReset(KestrelSession* session, uint16_t duration)",
            ),
            [
                "FUNCTIONS RfReset: header ('int32_t', ('KestrelSession*', 'uint16_t')), "
                "binding ('int32_t', ('KestrelSession*', 'uint32_t'))"
            ],
        ),
        (
            lambda t: t.replace("uint8_t key[6];", "uint8_t key[8];"),
            [
                "STRUCTS MifareKey: header (('uint8_t', 'type'), ('uint8_t[8]', 'key')), "
                "binding (('uint8_t', 'type'), ('uint8_t[6]', 'key'))"
            ],
        ),
        (
            lambda t: t.replace(
                "#define KESTREL_ERR_NO_CARD 8001", "#define KESTREL_ERR_NO_CARD 8101"
            ),
            ["CONSTANTS KESTREL_ERR_NO_CARD: header 8101, binding 8001"],
        ),
    ],
    ids=[
        "doxygen comments",
        "new export",
        "changed argument",
        "changed record",
        "changed constant",
    ],
)
def test_the_check_finds_every_kind_of_drift_and_ignores_comments(edit, expected):
    edited = edit(HEADER)
    assert edited != HEADER
    assert declarations.differences(declarations.parse(edited), table(_declarations)) == expected


def test_records_have_the_layout_the_header_asserts():
    assert ctypes.sizeof(_lib.MifareKey) == 7
    assert ctypes.sizeof(_lib.ApduContext) == 8
    assert (_lib.ApduContext.frameSize.offset, _lib.ApduContext.cardTimeOut.offset) == (2, 4)
    assert _lib.AppDataStruct.data.offset == ctypes.sizeof(ctypes.c_void_p)


@pytest.mark.parametrize(
    "platform, environ, bundled, system, expected",
    [
        (
            "linux",
            {"KESTREL_LIBRARY": "/opt/k/libkestrelapi.so.1"},
            True,
            "libkestrelapi.so.1",
            ["/opt/k/libkestrelapi.so.1"],
        ),
        ("linux", {}, True, None, ["{pkg}/libkestrelapi.so.1", "libkestrelapi.so.1"]),
        ("linux", {}, False, "libkestrelapi.so.1", ["libkestrelapi.so.1"]),
        (
            "win32",
            {},
            True,
            r"C:\Kestrel\KestrelAPI.dll",
            ["{pkg}/KestrelAPI.dll", r"C:\Kestrel\KestrelAPI.dll"],
        ),
        ("win32", {}, False, None, ["KestrelAPI.dll"]),
    ],
    ids=[
        "variable alone",
        "bundled then loader",
        "system",
        "windows bundled",
        "windows path search",
    ],
)
def test_library_is_looked_for_in_order(tmp_path, platform, environ, bundled, system, expected):
    if bundled:
        (tmp_path / ("KestrelAPI.dll" if platform == "win32" else "libkestrelapi.so.1")).touch()
    asked = []
    found = _lib.candidates(platform, environ, tmp_path, lambda name: asked.append(name) or system)
    assert found == [e.replace("{pkg}", str(tmp_path)) for e in expected]
    assert asked in ([], ["KestrelAPI" if platform == "win32" else "kestrelapi"])


@pytest.mark.parametrize(
    "code, cls, text",
    [
        (8001, kestrel.NoCardError, "no card"),
        (8002, kestrel.AuthenticationError, "authorization"),
        (0xA1AE, kestrel.DesfireAuthenticationError, "authentication"),
        (0xA1F0, kestrel.DesfireError, "file not found"),
        (0xA203, kestrel.DesfireError, ""),
        (6030, kestrel.DesfireError, ""),
        (1005, kestrel.KestrelTimeoutError, "read"),
        (8038, kestrel.KestrelTimeoutError, ""),
        (errno.ETIMEDOUT, kestrel.KestrelTimeoutError, ""),
        (8029, kestrel.ReaderError, ""),
        (8041, kestrel.ReaderError, ""),
        (7001, kestrel.ReaderError, ""),
        (errno.ECONNREFUSED, kestrel.ReaderError, "refused"),
        (8045, kestrel.CardError, "part 4"),
    ],
)
def test_result_codes_map_to_exceptions(code, cls, text):
    error = error_class(code)(code, "Export")
    assert type(error) is cls
    assert error.code == code and text.lower() in error.message.lower()
    assert str(error).startswith("Export: ") and (
        f"0x{code:04X}" if code > 0xA000 else str(code)
    ) in str(error)
    if cls is kestrel.KestrelTimeoutError:
        assert isinstance(error, TimeoutError)
    if isinstance(error, kestrel.DesfireError):
        assert error.status == (code - 0xA100 if code < 0xA200 and code > 0xA100 else None)
