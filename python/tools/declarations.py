#!/usr/bin/env python3
"""Reads the public C header and writes the binding's declaration table from it.

    python3 python/tools/declarations.py            rewrite python/src/kestrel/_declarations.py
    python3 python/tools/declarations.py --check    exit 1 (and list the differences) when the
                                                    table no longer matches the header

The table is data, not ctypes code: every export, callback type and record with its C types
spelled as in the header, and the header's numeric constants. kestrel._lib turns the C types
into ctypes types when it loads the library. Comments of any style and preprocessor lines are
removed before the declarations are read, so only a change of a declaration changes the table.
"""
from __future__ import annotations

import argparse
import re
import sys
from pathlib import Path
from typing import Dict, List, Tuple

ROOT = Path(__file__).resolve().parents[2]
HEADER = ROOT / "include" / "KestrelAPI.h"
TABLE = ROOT / "python" / "src" / "kestrel" / "_declarations.py"

Signature = Tuple[str, Tuple[str, ...]]


def _strip_comments(text: str) -> str:
    # String literals are kept whole so that "//" or "/*" inside one is not taken for a comment.
    pattern = re.compile(r'"(?:\\.|[^"\\])*"|/\*.*?\*/|//[^\n]*', re.S)
    return pattern.sub(lambda m: m.group(0) if m.group(0).startswith('"') else " ", text)


def _type_of(parameter: str) -> str:
    """The C type of one parameter declaration, spaced as 'const uint8_t*'."""
    words = " ".join(parameter.split())
    if words == "void":
        return ""
    words = re.sub(r"\s*\*\s*", "* ", words).strip()
    array = re.search(r"\[\s*(\w+)\s*\]$", words)
    if array:
        words = words[: array.start()].strip()
    match = re.match(r"^(.*?[\w*])\s+[A-Za-z_]\w*$", words)
    kind = match.group(1) if match else words
    kind = re.sub(r"\s+\*", "*", kind.replace("* ", "*")).strip()
    return kind + (f"[{array.group(1)}]" if array else "")


def _parameters(text: str) -> Tuple[str, ...]:
    types = tuple(_type_of(p) for p in text.split(","))
    return tuple(t for t in types if t)


def parse(header_text: str) -> Dict[str, object]:
    """Everything the binding declares, read from the header's text."""
    text = _strip_comments(header_text)
    constants: Dict[str, object] = {}
    version: Dict[str, int] = {}
    for name, value in re.findall(r"^[ \t]*#[ \t]*define[ \t]+(\w+)[ \t]+([^\n]*)$", text, re.M):
        value = value.strip()
        if re.fullmatch(r"(0[xX][0-9A-Fa-f]+|\d+)[uU]?", value):
            number = int(value.rstrip("uU"), 0)
            if name.startswith("KESTREL_VERSION_"):
                version[name[len("KESTREL_VERSION_") :]] = number
            constants[name] = number
    # Brace initializers such as VALUE_SECTOR_ACCESS continue over a backslash line.
    for name, body in re.findall(r"#[ \t]*define[ \t]+(\w+)[ \t]*\\?\s*\{([^}]*)\}", text):
        constants[name] = bytes(int(v, 0) for v in body.replace(",", " ").split())

    # Preprocessor lines (with their continuations) carry no declarations.
    code = re.sub(r"^[ \t]*#(?:[^\n]*\\\n)*[^\n]*$", " ", text, flags=re.M)

    structs: Dict[str, Tuple[Tuple[str, str], ...]] = {}
    for tag, body, name in re.findall(r"typedef\s+struct\s+(\w+)\s*\{([^}]*)\}\s*(\w+)\s*;", code):
        fields = []
        for field in body.split(";"):
            field = " ".join(field.split())
            if field:
                field_name = re.search(r"([A-Za-z_]\w*)\s*(\[\s*\w+\s*\])?$", field).group(1)
                fields.append((_type_of(field), field_name))
        structs[name] = tuple(fields)
    opaque = sorted(re.findall(r"typedef\s+struct\s+\w+\s+(\w+)\s*;", code))

    callbacks: Dict[str, Signature] = {}
    for result, name, params in re.findall(
        r"typedef\s+([\w\s*]+?)\s*\(\s*KESTREL_CALL\s*\*\s*(\w+)\s*\)\s*\(([^)]*)\)\s*;", code
    ):
        callbacks[name] = (_type_of(result + " x"), _parameters(params))

    functions: Dict[str, Signature] = {}
    for result, name, params in re.findall(
        r"KESTREL_EXPORT\s+([\w\s*]+?)\s*KESTREL_CALL\s+(\w+)\s*\(([^)]*)\)\s*;", code
    ):
        functions[name] = (_type_of(result + " x"), _parameters(params))

    return {
        "VERSION": "{MAJOR}.{MINOR}.{PATCH}".format(**version),
        "CONSTANTS": dict(sorted(constants.items())),
        "OPAQUE": tuple(opaque),
        "STRUCTS": structs,
        "CALLBACKS": callbacks,
        "FUNCTIONS": dict(sorted(functions.items())),
    }


def render(table: Dict[str, object]) -> str:
    """The table as a Python module, one entry a line."""
    lines = [
        '"""The public header\'s exports, callback types, records and constants, as C types."""',
        "# Generated from include/KestrelAPI.h by python/tools/declarations.py: do not edit.",
        "# The test suite regenerates it and fails when it differs.",
        "",
    ]
    for key, value in table.items():
        if isinstance(value, dict):
            lines.append(f"{key} = {{")
            lines += [f"    {name!r}: {entry!r}," for name, entry in value.items()]
            lines.append("}")
        else:
            lines.append(f"{key} = {value!r}")
        lines.append("")
    return "\n".join(lines)


def differences(expected: Dict[str, object], actual: Dict[str, object]) -> List[str]:
    """What the table `actual` lacks or has wrong against `expected`, one line per name."""
    found: List[str] = []
    for key, wanted in expected.items():
        have = actual.get(key)
        if not isinstance(wanted, dict) or not isinstance(have, dict):
            if wanted != have:
                found.append(f"{key}: header {wanted!r}, binding {have!r}")
            continue
        for name in sorted(set(wanted) | set(have)):
            if name not in have:
                found.append(f"{key} {name}: missing from the binding")
            elif name not in wanted:
                found.append(f"{key} {name}: not in the header")
            elif wanted[name] != have[name]:
                found.append(f"{key} {name}: header {wanted[name]!r}, binding {have[name]!r}")
    return found


def main(argv: List[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="compare instead of writing")
    parser.add_argument("--header", type=Path, default=HEADER)
    parser.add_argument("--table", type=Path, default=TABLE)
    args = parser.parse_args(argv)
    text = render(parse(args.header.read_text()))
    if not args.check:
        args.table.write_text(text)
        return 0
    namespace: Dict[str, object] = {}
    exec(args.table.read_text(), namespace)
    found = differences(parse(args.header.read_text()), namespace)
    for line in found:
        print(line, file=sys.stderr)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
