#!/usr/bin/env python3
"""Writes the seed corpus of patch_fuzzer (tests/fuzz/corpus/), in the input format described at
the top of patch_fuzzer.cpp: the installations the program is made to repair, and the awkward
ones around them, so that the fuzzer starts from runs that reach the repair and each archive's
fault is one byte away."""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from scenarios import RENAMES, REQUIRED  # noqa: E402

SHORTS = [short for short, _ in RENAMES]
NAMES = REQUIRED + SHORTS + [
    "game.exe", "SETUP.EXE", ".pak", ".x.exe", "voices1.pakx", "a b.pak", "tail.pak ",
    "notes.txt", "SFX.PAK", "caf\u00e9.pak"]
INSTALL_PATH, PARENT_PATH, RELATIVE_DEMO, NO_PREFIX = range(4)
# A state byte: where (bits 0-1), then what, times four.
NOWHERE, IN, ABOVE, BOTH = range(4)
FILE, READ_ONLY, DIRECTORY = (0, 4, 8)
# An extra entry's first byte: bit 0 for the installation, then what, times two.
EXTRA_ABOVE, EXTRA_IN, EXTRA_ABOVE_DIR = 0, 1, 4


def seed(start: int, value: bytes, long=None, short=None, extras=()) -> bytes:
    """long and short map a name to its state; a long name not given lies in the installation."""
    long = long or {}
    short = short or {}
    states = [long.get(name, IN) for name in REQUIRED] + [short.get(name, NOWHERE)
                                                          for name in SHORTS]
    data = bytes([start, len(value)]) + value + bytes(states)
    for first, name, content in extras:
        data += bytes([first, NAMES.index(name), content])
    return data


def shortened(*longs: str) -> tuple:
    """The long names gone, their short names in the installation instead."""
    names = dict((l, s) for s, l in RENAMES)
    return {name: NOWHERE for name in longs}, {names[name]: IN for name in longs}


SEEDS = {
    "complete": seed(INSTALL_PATH, b""),
    "both-faults": seed(INSTALL_PATH, b"",
                        long={**shortened("effects.pak", "voices3+.pak")[0], "11.pak": ABOVE,
                              "cinema.pak": ABOVE | READ_ONLY},
                        short=shortened("effects.pak", "voices3+.pak")[1],
                        extras=[(EXTRA_ABOVE, "game.exe", 3), (EXTRA_ABOVE, "notes.txt", 4)]),
    "short-names-only": seed(INSTALL_PATH, b"", *shortened(*(l for _, l in RENAMES))),
    "taken-targets": seed(INSTALL_PATH, b"", long={"fix.pak": ABOVE, "mesh.pak": BOTH},
                          short={"voices1.pak": BOTH, "zvoices.pak": IN | DIRECTORY},
                          extras=[(EXTRA_ABOVE_DIR, "SFX.PAK", 6)]),
    "directories": seed(INSTALL_PATH, b"", long={"anim.pak": ABOVE | DIRECTORY,
                                                 "text.pak": IN | DIRECTORY},
                        short={"tion.pak": IN | READ_ONLY}),
    # The installation is its own parent: its archives are made writable where they lie.
    "trailing-backslash": seed(INSTALL_PATH, b"\\",
                               long={**shortened("effects.pak")[0], "mesh.pak": IN | READ_ONLY},
                               short=shortened("effects.pak")[1]),
    "relative-trailing-backslash": seed(RELATIVE_DEMO, b"\\",
                                        long={"fix.pak": ABOVE, "sfx.pak": IN | READ_ONLY}),
    "relative": seed(RELATIVE_DEMO, b"", long={"anim.pak": ABOVE},
                     extras=[(EXTRA_ABOVE, ".pak", 6), (EXTRA_ABOVE, "tail.pak ", 7)]),
    "parent-as-installation": seed(PARENT_PATH, b"", long={name: ABOVE for name in REQUIRED}),
    "empty-value": seed(NO_PREFIX, b"", long={name: ABOVE for name in REQUIRED}),
    "high-bytes": seed(INSTALL_PATH, b"\x83\\\xe9\x00\xff", long={"12.pak": NOWHERE}),
    "long-value": seed(RELATIVE_DEMO, b"\\" * (260 - len("Demo\\") - max(map(len, NAMES)))),
    "too-long-value": seed(RELATIVE_DEMO, b"\\" * 252),
}

if __name__ == "__main__":
    out = Path(__file__).resolve().parent / "corpus"
    out.mkdir(exist_ok=True)
    for stale in out.iterdir():
        stale.unlink()
    for name, data in SEEDS.items():
        (out / name).write_bytes(data)
    print(f"wrote {len(SEEDS)} seeds to {out}")
