#!/usr/bin/env python3
"""Fails each allocation of a whole repair run in turn, under Wine, and checks that each such run
ends safely: at once, with no message, through TerminateProcess with exit code 3 and never through
msvcrt's abort() (which on Windows shows a runtime error box first); and that after every run each
file is still there exactly once, at the place it started or at the place the repair gives it.

The program is the out-of-memory build (kelvane-patch-oom.exe beside the executable under test),
whose allocation number KELVANE_FAIL_ALLOCATION fails. The sweep goes on until a run makes fewer
allocations than that number; that run must be the ordinary repair.

Usage: out_of_memory.py --wine-program EXE --wine-preset PRESET [--skip-note FILE]   (77: skipped)
"""
import argparse
import sys
from pathlib import Path

import call_trace
import skips
from layout import build_tree, read_tree, remove_tree, tree_diff, value_bytes
from scenarios import PATCHED, SCENARIOS, Tree
import wine_session
from wine_session import windows_path

SCENARIO = next(s for s in SCENARIOS if s.name == "both faults, then nothing to do")
ENDED = "TerminateProcess(current, 3) = " + call_trace.NO_RETURN  # the runtime's one early end
LIMIT = 10_000  # a run that never stops allocating is a fault of its own


def misplaced(before: Tree, final: Tree, after: Tree) -> list:
    """Entries found where neither the start nor the finished repair puts them (attributes
    aside: a file may be made writable just before a move that never comes)."""
    same = lambda a, b: b is not None and (a.kind, a.content) == (b.kind, b.content)
    return [path for path, entry in sorted(after.items())
            if not same(entry, before.get(path)) and not same(entry, final.get(path))]


def contents(tree: Tree) -> list:
    return sorted(entry.content for entry in tree.values() if entry.kind == "f")


def sweep(exe: Path, session: wine_session.WineSession) -> list:
    work = session.work / "sweep"
    work.mkdir()
    root, marker = work / "root", work / "allocation-failed"
    session.set_values(value_bytes(SCENARIO.value, root))
    session.env["KELVANE_FAIL_MARKER"] = windows_path(marker)
    problems, after_move = [], 0
    for n in range(1, LIMIT):
        if root.exists():
            remove_tree(root)
        build_tree(root, SCENARIO.tree, {})
        marker.unlink(missing_ok=True)
        session.env["KELVANE_FAIL_ALLOCATION"] = str(n)
        run = session.run(exe, root)
        tree, messages = read_tree(root, {}), call_trace.messages(run.calls)
        ends = [str(call) for call in run.calls if call.name in call_trace.ENDS]
        failed = marker.exists()
        where = f"allocation {n} failing" if failed else f"run of {n - 1} allocations"
        if run.log:
            problems.append(f"{where}: {run.log}")
        if contents(tree) != contents(SCENARIO.tree):
            problems.append(f"{where}: files lost or doubled\n{tree_diff(SCENARIO.tree, tree)}")
        problems += [f"{where}: {path} is neither where it was nor where the repair puts it"
                     for path in misplaced(SCENARIO.tree, SCENARIO.final, tree)]
        if not failed:
            if ((run.exit_code, messages, run.boxes, ends) != (0, [PATCHED], 1, []) or
                    tree != SCENARIO.final):
                problems.append(f"{where}: exit code {run.exit_code}, {run.boxes} boxes, "
                                f"{messages}, ended by {ends}, expected the ordinary repair\n"
                                f"{tree_diff(SCENARIO.final, tree)}")
            if not problems:
                print(f"{exe.name}: {n - 1} allocations; each one failing ended the run through "
                      f"TerminateProcess, {after_move} of them after the first move, keeping "
                      "every file once")
            return problems
        if any(call.name == "MoveFileA" for call in run.calls):
            after_move += 1
        if (run.exit_code, messages, run.boxes, ends) != (3, [], 0, [ENDED]):
            problems.append(f"{where}: exit code {run.exit_code}, {run.boxes} boxes, {messages}, "
                            f"ended by {ends}; expected {ENDED} alone and no message")
        if problems:
            return problems
    return [f"still allocating after {LIMIT} allocations"]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--wine-program", type=Path, required=True,
                        help="the executable under test; its out-of-memory build lies beside it")
    parser.add_argument("--wine-preset", required=True, help="the preset that builds EXE's folder")
    parser.add_argument("--skip-note", type=Path)
    args = parser.parse_args()
    exe = args.wine_program.resolve().with_name("kelvane-patch-oom.exe")
    skips.clear(args.skip_note)
    reason = wine_session.cannot_run(exe, args.wine_preset)
    if reason:
        return skips.skip(reason, args.skip_note)
    with wine_session.WineSession(wine_session.image_bits(exe)) as session:
        session.no_crash_dialog()
        problems = sweep(exe, session)
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
