#!/usr/bin/env python3
"""Runs every scenario against the Linux build of kelvane-patch, each in a fresh directory with
its own registry store, and checks the messages, the exit code and the final tree."""
import argparse
import os
import stat
import subprocess
import sys
import tempfile
from pathlib import Path

from scenarios import PROGRAM, SCENARIOS, Entry, Scenario, Tree


def windows_path(path: Path) -> str:
    return "Z:" + str(path).replace("/", "\\")


def build_tree(root: Path, tree: Tree, program: bytes) -> None:
    for relative, entry in sorted(tree.items()):
        path = root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        if entry.kind == "d":
            path.mkdir(exist_ok=True)
        elif entry.kind == "l":
            os.symlink(entry.content, path)
        else:
            path.write_bytes(program if entry == PROGRAM else entry.content)
            if entry == PROGRAM:
                path.chmod(0o755)
    # Children first, so that a read-only directory is filled before it is closed.
    for relative, entry in sorted(tree.items(), reverse=True):
        if entry.readonly:
            path = root / relative
            path.chmod(path.stat().st_mode & ~stat.S_IWUSR)


def read_tree(root: Path, program: bytes) -> Tree:
    tree: Tree = {}
    for directory, dirs, files in os.walk(root):
        for name in dirs + files:
            path = Path(directory) / name
            info = path.lstat()
            relative = str(path.relative_to(root))
            readonly = not info.st_mode & stat.S_IWUSR
            if stat.S_ISLNK(info.st_mode):
                tree[relative] = Entry("l", os.readlink(path).encode())
            elif stat.S_ISDIR(info.st_mode):
                tree[relative] = Entry("d", b"", readonly)
            else:
                content = path.read_bytes()
                tree[relative] = PROGRAM if content == program else Entry("f", content, readonly)
    return tree


def diff(expected: Tree, actual: Tree) -> str:
    lines = []
    for path in sorted(set(expected) | set(actual)):
        if expected.get(path) != actual.get(path):
            lines.append(f"    {path}: expected {expected.get(path)}, found {actual.get(path)}")
    return "\n".join(lines)


def run_scenario(program: Path, scenario: Scenario, work: Path) -> list:
    """Returns the failures found, as text."""
    root = work / "root"
    root.mkdir()
    if scenario.make:
        scenario = scenario.make(windows_path(root))
    program_bytes = program.read_bytes()
    build_tree(root, scenario.tree, program_bytes)

    key = work / "registry/HKEY_LOCAL_MACHINE/Software/KelvaneTarnwick/Directory"
    if scenario.value is not None:
        key.mkdir(parents=True)
        data = scenario.value[1].replace(b"{install}", windows_path(root / "Games/Demo").encode())
        (key / "Directory").write_bytes(data.replace(b"{root}", windows_path(root).encode()))

    failures = []
    command = [str(root / scenario.program_at) if scenario.program_at else str(program)]
    env = dict(os.environ, KELVANE_PATCH_REGISTRY=str(work / "registry"))
    for run, message in enumerate(scenario.messages, 1):
        result = subprocess.run(command, cwd=root / scenario.cwd, env=env, capture_output=True,
                                timeout=60, check=False)
        if result.returncode != 0:
            failures.append(f"run {run}: exit code {result.returncode}")
        if result.stdout != (message + "\n").encode():
            failures.append(f"run {run}: message {result.stdout!r}, expected {message!r}")
        if result.stderr:
            failures.append(f"run {run}: stderr {result.stderr.decode(errors='replace')}")

    expected = scenario.final if scenario.final is not None else scenario.tree
    found = read_tree(root, program_bytes)
    if found != expected:
        failures.append("final tree differs:\n" + diff(expected, found))
    values = sorted(os.listdir(key)) if key.is_dir() else None
    if values != (["Directory"] if scenario.value is not None else []):
        failures.append(f"registry key holds {values}")
    return failures


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--program", required=True, type=Path)
    parser.add_argument("-k", default="", help="run only scenarios whose name contains this")
    args = parser.parse_args()
    passed = failed = 0
    for scenario in SCENARIOS:
        if args.k not in scenario.name:
            continue
        with tempfile.TemporaryDirectory(prefix="kelvane-scenario-") as work:
            try:
                failures = run_scenario(args.program.resolve(), scenario, Path(work))
            finally:
                for directory, dirs, _ in os.walk(work):  # let the clean-up into read-only dirs
                    for name in dirs:
                        path = Path(directory) / name
                        if not path.is_symlink():
                            path.chmod(0o755)
        print(("ok   " if not failures else "FAIL ") + scenario.name)
        for failure in failures:
            print("    " + failure)
        passed += not failures
        failed += bool(failures)
    print(f"{passed} passed, {failed} failed")
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
