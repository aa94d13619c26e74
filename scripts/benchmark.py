#!/usr/bin/env python3
"""Measures what a whole repair costs as the directories grow.

With --wine EXE it times the Windows program under Wine (the 32-bit release under WOW64 where the
machine runs it): an installation of 40 entries that lacks one archive, with short-named archives
to restore, beside parents whose tenth or only one entry matches *.pak or *.exe, less the time of
a run that reads the registry and stops. That is the cost players pay.

Without it, it times the Linux build on the same kind of layouts, with installations of 40 to
10,000 entries: the stand-in's own cost, which only the test suite pays.

Usage: scripts/benchmark.py --wine build/windows-x86/kelvane-patch.exe [--sizes small|full]
       scripts/benchmark.py [--program build/host/kelvane-patch] [--sizes small|full] [--dir DIR]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
import wine_session  # noqa: E402
from wine_session import windows_path  # noqa: E402
from scenarios import RENAMES, REQUIRED, sz  # noqa: E402

PARENTS = [1_000, 10_000, 100_000]
INSTALLS = [40, 1_000, 10_000]


def lay_out(root: Path, parent_size: int, install_size: int, matching: int = 0) -> None:
    """`matching` entries of the parent match *.pak or *.exe, the missing archive among them;
    0 for a tenth of them."""
    games, demo = root / "Games", root / "Games" / "Demo"
    demo.mkdir(parents=True)
    shorts = dict((long, short) for short, long in RENAMES)
    for name in REQUIRED:
        if name == "11.pak":
            continue  # it lies in the parent
        (demo / (shorts.get(name, name) if name.startswith("voices") else name)).write_bytes(
            name.encode())
    for i in range(install_size - (len(REQUIRED) - 1)):
        (demo / f"data{i:06}.bin").write_bytes(b"d")
    matching = matching or parent_size // 10
    (games / "11.pak").write_bytes(b"11.pak")
    for i in range(matching - 1):
        (games / (f"misplaced{i:06}.pak" if i % 2 else f"tool{i:06}.exe")).write_bytes(b"m")
    for i in range(parent_size - matching - 1):  # the installation directory is one entry too
        (games / f"download{i:06}.txt").write_bytes(b"x")


PATCHED = b"Kelvane DVD successfully patched \n"


def run(program: Path, root: Path, registry: Path) -> float:
    """Runs the program once; returns the seconds it took."""
    env = dict(os.environ, KELVANE_PATCH_REGISTRY=str(registry))
    started = time.perf_counter()
    result = subprocess.run([str(program)], cwd=root, env=env, capture_output=True, check=True)
    elapsed = time.perf_counter() - started
    if result.stdout != PATCHED:
        raise RuntimeError(f"unexpected outcome: {result.stdout!r}")
    return elapsed


def set_value(registry: Path, value: str) -> None:
    key = registry / "HKEY_LOCAL_MACHINE/Software/KelvaneTarnwick/Directory"
    key.mkdir(parents=True, exist_ok=True)
    (key / "Directory").write_bytes(value.encode() + b"\0")


def linux_timings(program: Path, sizes: str, under: Path) -> None:
    work = Path(tempfile.mkdtemp(prefix="kelvane-bench-", dir=under))
    try:
        print("| parent | installation | moved | seconds |")
        print("|---:|---:|---:|---:|")
        for parent_size in PARENTS if sizes == "full" else PARENTS[:2]:
            for install_size in INSTALLS if sizes == "full" else INSTALLS[:2]:
                root = work / "root"
                lay_out(root, parent_size, install_size)
                set_value(work / "registry", windows_path(root / "Games" / "Demo"))
                before = len(os.listdir(root / "Games" / "Demo"))
                seconds = run(program, root, work / "registry")
                moved = len(os.listdir(root / "Games" / "Demo")) - before
                print(f"| {parent_size:,} | {install_size:,} | {moved:,} | {seconds:.2f} |",
                      flush=True)
                shutil.rmtree(root)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def wine_timings(exe: Path, sizes: str) -> None:
    runs = [(1_000, 100), (10_000, 1_000), (50_000, 1)]
    if sizes == "full":
        runs.append((100_000, 10_000))
    # The session cleans up after itself when it cannot start; the work folder is made only once
    # it has, and both go whatever becomes of the runs.
    with wine_session.WineSession(wine_session.image_bits(exe)) as session, \
            tempfile.TemporaryDirectory(prefix="kelvane-bench-", ignore_cleanup_errors=True) as tmp:
        work = Path(tmp)

        def timed(root: Path) -> float:
            started = time.perf_counter()
            result = session.run(exe, root, traced=False)
            if result.log or result.boxes != 1:
                raise RuntimeError(f"run failed: {result.log or result.boxes}")
            return time.perf_counter() - started

        (work / "idle").mkdir()
        session.set_values(None)
        idle = timed(work / "idle")
        print(f"start-up: {idle:.2f} s for a run that reads the registry and stops (subtracted)")
        print("| parent | matches moved | seconds | ms per move |")
        print("|---:|---:|---:|---:|")
        for parent_size, matching in runs:
            root = work / "root"
            lay_out(root, parent_size, 40, matching)
            session.set_values(sz(windows_path(root / "Games" / "Demo")))
            before = len(os.listdir(root / "Games" / "Demo"))
            seconds = timed(root) - idle
            moved = len(os.listdir(root / "Games" / "Demo")) - before
            print(f"| {parent_size:,} | {moved:,} | {seconds:.2f} | {seconds / moved * 1e3:.2f} |",
                  flush=True)
            shutil.rmtree(root)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--program", type=Path, default=ROOT / "build/host/kelvane-patch")
    parser.add_argument("--sizes", choices=["small", "full"], default="full")
    parser.add_argument("--dir", type=Path, help="where to lay the trees out (default: a temp dir)")
    parser.add_argument("--wine", type=Path, metavar="EXE",
                        help="time this Windows executable under Wine instead")
    args = parser.parse_args()
    if args.wine:
        wine_timings(args.wine.resolve(), args.sizes)
    else:
        linux_timings(args.program.resolve(), args.sizes, args.dir)
    return 0


if __name__ == "__main__":
    sys.exit(main())
