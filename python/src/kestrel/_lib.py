"""The shared library, loaded with ctypes, with every export of the public header declared.

Every function of include/KestrelAPI.h is an attribute of this module (`_lib.CreateSession`),
with its argument and result types set from the declaration table that is generated from the
header (_declarations.py). The records (`_lib.MifareKey`, ...), the callback types
(`_lib.LogMethod`, ...) and the numeric constants (`_lib.KESTREL_ERR_NO_CARD`, ...) are
attributes too. The library is loaded on first use of a function, from:

1. the file named by the environment variable KESTREL_LIBRARY (nothing else is tried then);
2. the directory of this package, for an installation that carries the library with it;
3. the system's search: ctypes.util.find_library, else the plain file name (LD_LIBRARY_PATH,
   the loader's cache; on Windows the DLL search path).

On Windows the library is KestrelAPI.dll, whose exports are __stdcall: it is loaded with
WinDLL and its callback types are WINFUNCTYPE.
"""
from __future__ import annotations

import ctypes
import ctypes.util
import os
import re
import sys
from pathlib import Path
from typing import Any, Callable, Dict, List, Mapping, Optional

from ._declarations import CALLBACKS, CONSTANTS, FUNCTIONS, OPAQUE, STRUCTS, VERSION

__all__ = ["CONSTANTS", "FUNCTIONS", "VERSION", "LibraryNotFoundError", "candidates", "library"]

_SCALARS: Dict[str, Any] = {
    "void": None,
    "char": ctypes.c_char,
    "uint8_t": ctypes.c_uint8,
    "uint16_t": ctypes.c_uint16,
    "uint32_t": ctypes.c_uint32,
    "int32_t": ctypes.c_int32,
    "uintptr_t": ctypes.c_size_t,  # as wide as a pointer on every platform the library runs on
}

_WINDOWS = sys.platform == "win32"
_FUNCTYPE = ctypes.WINFUNCTYPE if _WINDOWS else ctypes.CFUNCTYPE  # type: ignore[attr-defined]


class LibraryNotFoundError(OSError):
    """The shared library could not be loaded from any of the places tried."""


def ctype(spec: str) -> Any:
    """The ctypes type of a C type as the declaration table spells it ('const uint8_t*')."""
    spec = spec[len("const ") :] if spec.startswith("const ") else spec
    array = re.fullmatch(r"(\w+)\[(\d+)\]", spec)
    if array:
        return ctype(array.group(1)) * int(array.group(2))
    if spec == "char*":
        return ctypes.c_char_p
    if spec.endswith("*"):
        target = spec[:-1]
        return ctypes.c_void_p if target in OPAQUE else ctypes.POINTER(ctype(target))
    if spec in _types:
        return _types[spec]
    if spec in _SCALARS:
        return _SCALARS[spec]
    raise TypeError(f"no ctypes type for the C type {spec!r}")


_types: Dict[str, Any] = {}
for _name, _fields in STRUCTS.items():
    _types[_name] = type(
        _name, (ctypes.Structure,), {"_fields_": [(f, ctype(t)) for t, f in _fields]}
    )
for _name, (_result, _arguments) in CALLBACKS.items():
    _types[_name] = _FUNCTYPE(ctype(_result), *(ctype(a) for a in _arguments))


def candidates(
    platform: str = sys.platform,
    environ: Mapping[str, str] = os.environ,
    package_dir: Path = Path(__file__).resolve().parent,
    find_library: Callable[[str], Optional[str]] = ctypes.util.find_library,
) -> List[str]:
    """The paths or names to load the library from, in the order they are tried."""
    if environ.get("KESTREL_LIBRARY"):
        return [environ["KESTREL_LIBRARY"]]
    windows = platform == "win32"
    file_name = "KestrelAPI.dll" if windows else "libkestrelapi.so.1"
    found = []
    bundled = package_dir / file_name
    if bundled.is_file():
        found.append(str(bundled))
    found.append(find_library("KestrelAPI" if windows else "kestrelapi") or file_name)
    return found


_library: Optional[ctypes.CDLL] = None


def library() -> ctypes.CDLL:
    """The loaded library with every export it has declared (loaded on the first call)."""
    global _library
    if _library is None:
        loader = ctypes.WinDLL if _WINDOWS else ctypes.CDLL  # type: ignore[attr-defined]
        failures = []
        for place in candidates():
            try:
                loaded = loader(place)
                break
            except OSError as error:
                failures.append(f"{place}: {error}")
        else:
            raise LibraryNotFoundError(
                "KestrelAPI library not found (set KESTREL_LIBRARY to its path); tried "
                + "; ".join(failures)
            )
        for name, (result, arguments) in FUNCTIONS.items():
            function = getattr(loaded, name, None)
            if function is not None:
                function.restype = ctype(result)
                function.argtypes = [ctype(a) for a in arguments]
        _library = loaded
    return _library


def __getattr__(name: str) -> Any:
    if name in FUNCTIONS:
        function = getattr(library(), name, None)
        if function is None:
            raise AttributeError(f"the loaded KestrelAPI library lacks the export {name}")
        return function
    if name in _types:
        return _types[name]
    if name in CONSTANTS:
        return CONSTANTS[name]
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> List[str]:
    return sorted(set(globals()) | set(FUNCTIONS) | set(_types) | set(CONSTANTS))


# Byte buffers for the exports' uint8_t* arguments.
def buffer(size: int) -> Any:
    """A zeroed buffer of `size` bytes."""
    return (ctypes.c_uint8 * size)()


def from_bytes(data: bytes) -> Any:
    """A buffer holding a copy of `data`."""
    return (ctypes.c_uint8 * len(data)).from_buffer_copy(data)


def to_bytes(buffer: Any, length: int) -> bytes:
    """The first `length` bytes of a buffer."""
    return ctypes.string_at(buffer, length)
