#!/usr/bin/env python3
"""Writes the seed corpus of patch_fuzzer (tests/fuzz/corpus/), in the input format described at
the top of patch_fuzzer.cpp: the installations the program is made to repair, and the awkward
ones around them, so that the fuzzer starts from runs that reach the repair."""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from scenarios import RENAMES, REQUIRED  # noqa: E402

NAMES = REQUIRED + [short for short, _ in RENAMES] + [
    "game.exe", "SETUP.EXE", ".pak", ".x.exe", "voices1.pakx", "a b.pak", "tail.pak ",
    "notes.txt", "SFX.PAK", "caf\u00e9.pak"]
# An entry's first byte, as patch_fuzzer.cpp reads it: bit 0 set for the installation, clear for
# the parent; the rest, modulo 3, a file, a read-only file or a directory. The seeds use these.
PARENT_FILE, INSTALL_FILE, PARENT_READONLY, PARENT_DIR = 0, 1, 2, 4
INSTALL_PATH, PARENT_PATH, RELATIVE_DEMO, NO_PREFIX = range(4)


def seed(start: int, value: bytes, entries) -> bytes:
    data = bytes([start, len(value)]) + value
    for where, name, content in entries:
        data += bytes([where, NAMES.index(name), content])
    return data


def installation(missing=(), short=(), where=INSTALL_FILE):
    entries = []
    for i, name in enumerate(REQUIRED):
        if name in missing:
            continue
        stored = dict((l, s) for s, l in RENAMES).get(name) if name in short else name
        entries.append((where, stored, i))
    return entries


SEEDS = {
    "complete": seed(INSTALL_PATH, b"", installation()),
    "both-faults": seed(INSTALL_PATH, b"", installation(missing=["11.pak", "cinema.pak"],
                                                        short=["effects.pak", "voices3+.pak"])
                        + [(PARENT_FILE, "11.pak", 1), (PARENT_READONLY, "cinema.pak", 2),
                           (PARENT_FILE, "game.exe", 3), (PARENT_FILE, "notes.txt", 4)]),
    "short-names-only": seed(INSTALL_PATH, b"", installation(short=[l for _, l in RENAMES])),
    "taken-targets": seed(INSTALL_PATH, b"", installation(missing=["fix.pak"])
                          + [(PARENT_FILE, "fix.pak", 9), (PARENT_FILE, "voices1.pak", 8),
                             (INSTALL_FILE, "voices1.pak", 7), (PARENT_DIR, "SFX.PAK", 6)]),
    "trailing-backslash": seed(INSTALL_PATH, b"\\", installation(short=["effects.pak"])),
    "relative": seed(RELATIVE_DEMO, b"", installation(missing=["anim.pak"])
                     + [(PARENT_FILE, "anim.pak", 5), (PARENT_FILE, ".pak", 6)]),
    "parent-as-installation": seed(PARENT_PATH, b"", installation(where=PARENT_FILE)),
    "empty-value": seed(NO_PREFIX, b"", [(PARENT_FILE, "11.pak", 1)]),
    "high-bytes": seed(INSTALL_PATH, b"\x83\\\xe9\x00\xff", installation(missing=["12.pak"])),
}

if __name__ == "__main__":
    out = Path(__file__).resolve().parent / "corpus"
    out.mkdir(exist_ok=True)
    for name, data in SEEDS.items():
        (out / name).write_bytes(data)
    print(f"wrote {len(SEEDS)} seeds to {out}")
