"""A leg that this machine cannot run reports itself skipped, never passed: it exits with CTest's
skip code and, given a note, leaves its reason there for CTest's summary to print at the end.

Usage: skips.py DIR           prints every note left in DIR
       skips.py --clear DIR   removes them
"""
import sys
from pathlib import Path
from typing import Optional

SKIPPED = 77  # the SKIP_RETURN_CODE of every leg that can be skipped


def clear(note: Optional[Path]) -> None:
    if note:
        note.unlink(missing_ok=True)


def skip(reason: str, note: Optional[Path]) -> int:
    print(f"SKIPPED: {reason}")
    if note:
        note.write_text(reason + "\n")
    return SKIPPED


if __name__ == "__main__":
    notes = sorted(Path(sys.argv[-1]).glob("*.skipped"))
    for found in notes:
        if sys.argv[1] == "--clear":
            found.unlink()
        else:
            print(f"{found.stem}: {found.read_text().strip()}")
