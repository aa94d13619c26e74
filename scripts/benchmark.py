#!/usr/bin/env python3
"""Measures what a whole run of the Linux build costs as its directories grow.

For each size it lays out an installation that lacks one archive, with short-named archives to
restore, and a parent directory in which 10% of the entries match *.pak or *.exe (the missing
archive among them). It times the run, then runs it again on a fresh copy under `strace -c -f`
and compares the system calls with the least the work needs:

  one directory listing per search (its open, the getdents64 calls that reading the directory
  once takes, its close), one rename per move, one call per attribute change, one lookup per
  probe, and the fixed cost of starting a process that reads the registry and touches no file.

With --wine EXE it times the Windows program under Wine instead (the 32-bit release under WOW64
where the machine runs it), on parents whose tenth or only one entry matches, less the time of a
run that reads the registry and stops.

Usage: scripts/benchmark.py [--program build/host/kelvane-patch] [--sizes small|full]
                            [--check RATIO]
       scripts/benchmark.py --wine build/windows-x86/kelvane-patch.exe [--sizes small|full]
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
import call_trace  # noqa: E402
from wine_session import windows_path  # noqa: E402
from scenarios import RENAMES, REQUIRED, sz  # noqa: E402

PARENTS = [1_000, 10_000, 100_000]
INSTALLS = [40, 1_000, 10_000]
GETDENTS_BUFFER = 32768  # what glibc's readdir asks the kernel for at a time


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


def listing_calls(directory_names) -> int:
    """getdents64 calls that reading a directory of these names once takes: full buffers, then
    the call that finds the end."""
    size = sum((19 + len(name.encode()) + 1 + 7) // 8 * 8 for name in directory_names + [".", ".."])
    return size // GETDENTS_BUFFER + (1 if size % GETDENTS_BUFFER else 0) + 1


def strace_counts(path: Path) -> dict:
    counts = {}
    for line in path.read_text().splitlines():
        match = re.match(r"\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(?:\d+\s+)?(\w+)$", line)
        if match and match[2] != "total":
            counts[match[2]] = int(match[1])
    return counts


PATCHED = b"Kelvane DVD successfully patched \n"


def run(program: Path, root: Path, registry: Path, expect: bytes = PATCHED, trace=None,
        strace_out=None) -> float:
    """Runs the program once, optionally traced and counted; returns the seconds it took."""
    env = dict(os.environ, KELVANE_PATCH_REGISTRY=str(registry))
    if trace:
        env["KELVANE_PATCH_TRACE"] = str(trace)
    command = [str(program)]
    if strace_out:
        command = ["strace", "-c", "-f", "-o", str(strace_out)] + command
    started = time.perf_counter()
    result = subprocess.run(command, cwd=root, env=env, capture_output=True, check=True)
    elapsed = time.perf_counter() - started
    if result.stdout != expect:
        raise RuntimeError(f"unexpected outcome: {result.stdout!r}")
    return elapsed


def set_value(registry: Path, value: str) -> None:
    key = registry / "HKEY_LOCAL_MACHINE/Software/KelvaneTarnwick/Directory"
    key.mkdir(parents=True, exist_ok=True)
    (key / "Directory").write_bytes(value.encode() + b"\0")


def measure(program: Path, work: Path, parent_size: int, install_size: int) -> dict:
    template, root = work / "template", work / "root"
    for path in (template, root):
        shutil.rmtree(path, ignore_errors=True)
    lay_out(template, parent_size, install_size)
    registry = work / "registry"
    set_value(registry, windows_path(root / "Games" / "Demo"))
    names = {d: os.listdir(template / d) for d in ("Games", "Games/Demo")}

    shutil.copytree(template, root, symlinks=True)
    elapsed = run(program, root, registry)

    shutil.rmtree(root)
    shutil.copytree(template, root, symlinks=True)
    trace, counts_file = work / "trace", work / "strace"
    trace.unlink(missing_ok=True)
    run(program, root, registry, trace=trace, strace_out=counts_file)
    counts = strace_counts(counts_file)
    calls = call_trace.read_standin_trace(trace.read_text(encoding="latin-1"))
    # The trace itself costs a write per call; take those out.
    traced_writes = len(calls)

    searches = [c for c in calls if c.name == "FindFirstFileA" and "*" in c.args[0].value]
    probes = [c for c in calls if c.name == "FindFirstFileA" and "*" not in c.args[0].value]
    minimum = (len(probes) + sum(1 for c in calls if c.name == "SetFileAttributesA") +
               sum(1 for c in calls if c.name == "MoveFileA") +
               len(searches) * (2 + listing_calls(names["Games"])))
    total = sum(counts.values()) - traced_writes
    return {"parent": parent_size, "install": install_size, "seconds": elapsed,
            "moved": sum(1 for c in calls if c.name == "MoveFileA" and c.result == "TRUE"),
            "total": total, "minimum": minimum, "counts": counts}


def probe_cost(program: Path, work: Path) -> dict:
    """The system calls of a run that finds every archive under its exact name."""
    root = work / "complete"
    demo = root / "Games" / "Demo"
    demo.mkdir(parents=True)
    for name in REQUIRED:
        (demo / name).write_bytes(b"a")
    for i in range(10_000 - len(REQUIRED)):
        (demo / f"data{i:06}.bin").write_bytes(b"d")
    registry = work / "complete-registry"
    set_value(registry, windows_path(demo))
    run(program, root, registry, expect=b"Patch not needed.\n",
        strace_out=work / "complete.strace")
    counts = strace_counts(work / "complete.strace")
    shutil.rmtree(root)
    return {"lookups": counts.get("newfstatat", 0) + counts.get("lstat", 0),
            "listings": counts.get("getdents64", 0)}


def wine_timings(exe: Path, sizes: str) -> None:
    import wine_session  # noqa: E402  only this mode needs Wine
    runs = [(1_000, 100), (10_000, 1_000), (50_000, 1)]
    if sizes == "full":
        runs.append((100_000, 10_000))
    work = Path(tempfile.mkdtemp(prefix="kelvane-bench-"))
    session = wine_session.WineSession(wine_session.image_bits(exe))
    try:
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
    finally:
        session.close()
        shutil.rmtree(work, ignore_errors=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--program", type=Path, default=ROOT / "build/host/kelvane-patch")
    parser.add_argument("--sizes", choices=["small", "full"], default="full")
    parser.add_argument("--dir", type=Path, help="where to lay the trees out (default: a temp dir)")
    parser.add_argument("--check", type=float, metavar="RATIO",
                        help="fail if a run makes more than RATIO times the system calls needed, "
                             "or a probe reads a directory")
    parser.add_argument("--wine", type=Path, metavar="EXE",
                        help="time this Windows executable under Wine instead")
    args = parser.parse_args()
    if args.wine:
        wine_timings(args.wine.resolve(), args.sizes)
        return 0
    parents = PARENTS if args.sizes == "full" else PARENTS[:2]
    installs = INSTALLS if args.sizes == "full" else INSTALLS[:2]
    work = Path(tempfile.mkdtemp(prefix="kelvane-bench-", dir=args.dir))
    failures = []
    try:
        base_root = work / "idle"
        base_root.mkdir()
        set_value(work / "registry", "")
        run(args.program.resolve(), base_root, work / "registry",
            expect=b"Please install Kelvane game first\n", strace_out=work / "idle.strace")
        start_up = sum(strace_counts(work / "idle.strace").values())
        print(f"start-up: {start_up} system calls for a run that reads the registry and stops")
        probes = probe_cost(args.program.resolve(), work)
        if probes["listings"]:
            failures.append("probes of names present read a directory")
        print(f"probes: a complete installation of 10,000 entries took {probes['lookups']} lookups "
              f"and {probes['listings']} directory reads for its 38 probes")
        print("| parent | installation | moved | seconds | µs per entry | system calls | "
              "least needed | ratio |")
        print("|---:|---:|---:|---:|---:|---:|---:|---:|")
        for parent_size in parents:
            for install_size in installs:
                m = measure(args.program.resolve(), work, parent_size, install_size)
                least = m["minimum"] + start_up
                print(f"| {parent_size:,} | {install_size:,} | {m['moved']:,} | "
                      f"{m['seconds']:.3f} | "
                      f"{m['seconds'] / (parent_size + install_size) * 1e6:.2f} | "
                      f"{m['total']:,} | {least:,} | {m['total'] / least:.2f} |", flush=True)
                if args.check and m["total"] > args.check * least:
                    failures.append(f"{parent_size}/{install_size}: {m['total'] / least:.2f} times")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for failure in failures:
        print("FAIL " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
