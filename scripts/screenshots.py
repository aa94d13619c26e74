#!/usr/bin/env python3
"""Takes a screenshot of each of the four messages, shown by the real Windows executable under
wine64 on a virtual X display, and writes them to docs/ as PNG files.

Usage: scripts/screenshots.py [build/windows-x64/kelvane-patch.exe]
Needs what the test suite needs, ImageMagick, and Wine's Marlett font, with which the frame's
close button is drawn (apt-get install imagemagick fonts-wine).
"""
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

import run_scenarios  # noqa: E402
import scenarios  # noqa: E402
from wine_session import WINE, WineSession  # noqa: E402

# Each message, and a situation that brings it about.
SHOTS = [
    ("not-installed", None, {}),
    ("not-needed", scenarios.sz("{install}"), scenarios.install()),
    ("patched", scenarios.sz("{install}"), scenarios.install(short=["effects.pak"])),
    ("missing", scenarios.sz("{install}"), scenarios.install(without=["17.pak"])),
]
DESKTOP = "1280x400"  # wider than any box; where a long message wraps is the box's own choice


def shoot(session: WineSession, exe: Path, name: str, value, tree, out: Path) -> None:
    with tempfile.TemporaryDirectory(prefix="kelvane-shot-") as work:
        root = Path(work)
        run_scenarios.build_tree(root, tree, {})
        session.set_values(run_scenarios.value_bytes(value, root))
        # A desktop of Wine's own draws the box with its frame, as Windows would.
        process = subprocess.Popen([WINE, "explorer", f"/desktop=kelvane-{name},{DESKTOP}", str(exe)],
                                   env=session.env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        window = ""
        for _ in range(200):
            found = subprocess.run(["xdotool", "search", "--name", f"kelvane-{name}"],
                                   env=session.env, capture_output=True, text=True,
                                   check=False).stdout.split()
            if found:
                window = found[0]
                break
            time.sleep(0.05)
        if not window:
            raise RuntimeError(f"no desktop window for {name}")
        raw = Path(work) / "raw.png"
        for _ in range(60):  # until the box has drawn itself on the empty desktop
            time.sleep(0.5)
            subprocess.run(["import", "-window", window, str(raw)], env=session.env, check=True)
            colours = subprocess.run(["convert", str(raw), "-format", "%k", "info:"],
                                     capture_output=True, text=True, check=True).stdout
            if int(colours) > 8:
                break
        else:
            raise RuntimeError(f"no message box drawn for {name}")
        time.sleep(0.5)
        subprocess.run(["import", "-window", window, str(raw)], env=session.env, check=True)
        # Cut away the empty desktop around the box.
        subprocess.run(["convert", str(raw), "-trim", "+repage", str(out)], check=True)
        subprocess.run([WINE, "taskkill", "/F", "/IM", "kelvane-patch.exe"], env=session.env,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=False)
        process.kill()
        process.wait()
        print(f"wrote {out}")


def main() -> int:
    exe = Path(sys.argv[1] if len(sys.argv) > 1 else ROOT / "build/windows-x64/kelvane-patch.exe")
    with WineSession() as session:
        # The frame's close button is drawn with this font; the prefix does not carry it.
        fonts = Path(session.env["WINEPREFIX"]) / "drive_c/windows/Fonts"
        fonts.mkdir(parents=True, exist_ok=True)
        (fonts / "marlett.ttf").write_bytes(Path("/usr/share/wine/fonts/marlett.ttf").read_bytes())
        for name, value, tree in SHOTS:
            shoot(session, exe.resolve(), name, value, tree, ROOT / "docs" / f"message-{name}.png")
    return 0


if __name__ == "__main__":
    sys.exit(main())
