#!/usr/bin/env python3
"""Runs every scenario against the Linux build of kelvane-patch and, given --wine-program, against
a Windows executable under Wine too: the 64-bit one under wine64, the 32-bit release under WOW64.
Each program starts from the scenario's tree and registry values; the messages, exit codes, final
tree, registry keys and platform calls must be what the scenario expects, and the two programs
must have made the same calls, unless the scenario names a platform difference that explains why
not. Exits with SKIPPED when the Windows executable is missing or this machine cannot run it."""
import argparse
import contextlib
import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import List, NamedTuple, Optional

import call_trace
import skips
import wine_session
from layout import build_tree, read_tree, remove_tree, tree_diff, value_bytes
from wine_session import windows_path
from scenarios import DIFFERENCES, PLANTED_DLL, PROGRAM, SCENARIOS, Scenario, Tree


class Outcome(NamedTuple):
    messages: List[str]  # one per run: its message, or how many it showed if not exactly one
    calls: List[List[call_trace.Call]]  # per run
    tree: Tree
    # Each view's values as (name, type, data), sorted; None: no key. The program's own view first,
    # then the other view of a 64-bit registry.
    key_values: Optional[List[tuple]]
    other_key_values: Optional[List[tuple]]
    problems: List[str]  # what went wrong that no expectation covers


class LinuxProgram:
    name = "linux"

    def __init__(self, program: Path):
        self.program = program
        self.stand_ins = {PROGRAM: program.read_bytes(), PLANTED_DLL: b"<not a DLL here>"}

    def outcome(self, scenario: Scenario, root: Path, work: Path) -> Outcome:
        registry = work / "registry"
        # The stand-in reads the registry as a 64-bit program does; the other view is Wow6432Node.
        key = registry / "HKEY_LOCAL_MACHINE/Software/KelvaneTarnwick/Directory"
        other = registry / "HKEY_LOCAL_MACHINE/Software/Wow6432Node/KelvaneTarnwick/Directory"
        for path, value in ((key, scenario.value), (other, scenario.other_view)):
            if value is not None:
                path.mkdir(parents=True)
                (path / "Directory").write_bytes(value_bytes(value, root)[1])
        command = [str(root / scenario.program_at) if scenario.program_at else str(self.program)]
        messages, calls, problems = [], [], []
        for run in range(1, len(scenario.messages) + 1):
            trace = work / f"trace{run}"
            env = dict(os.environ, KELVANE_PATCH_REGISTRY=str(registry),
                       KELVANE_PATCH_TRACE=str(trace))
            if scenario.own_drive:
                env["KELVANE_PATCH_DRIVE_ROOT"] = str(root)
            result = subprocess.run(command, cwd=root / scenario.cwd, env=env, capture_output=True,
                                    timeout=60, check=False)
            run_calls = call_trace.read_standin_trace(trace.read_text(encoding="latin-1"))
            calls.append(run_calls)
            shown = result.stdout.decode("latin-1").split("\n")[:-1]
            messages += shown if len(shown) == 1 else [f"<{len(shown)} messages: {shown}>"]
            if shown != call_trace.messages(run_calls):
                problems.append(f"run {run}: printed {shown}, traced {call_trace.messages(run_calls)}")
            if result.returncode != 0:
                problems.append(f"run {run}: exit code {result.returncode}")
            if result.stderr:
                problems.append(f"run {run}: stderr {result.stderr.decode(errors='replace')}")
        # The stand-in's values are their bytes alone, with no type.
        values = [sorted((name, None, (k / name).read_bytes()) for name in os.listdir(k))
                  if k.is_dir() else None for k in (key, other)]
        return Outcome(messages, calls, read_tree(root, self.stand_ins), *values, problems)


def without_element(exe: Path, copy: Path, tag: str) -> Path:
    """A copy of the executable whose manifest lacks the element `tag`, blanked out in place so
    that nothing moves: without activeCodePage, as Windows before 10 version 1903 reads the
    manifest; without dependency, as the program was built before it asked for Common Controls 6."""
    data = exe.read_bytes()
    closing = f"</{tag}>".encode()
    starts = [m.start() for m in re.finditer(f"<{tag}[ >]".encode(), data)]
    start = end = 0  # a build that has none: nothing to take out
    if len(starts) > 1:
        raise ValueError(f"{exe} has more than one {tag} element")
    if starts:
        start = starts[0]
        end = data.find(closing, start) + len(closing)
        if end < start + len(closing):
            raise ValueError(f"{exe} leaves its {tag} element open")
    copy.write_bytes(data[:start] + b" " * (end - start) + data[end:])
    return copy


class WineProgram:
    name = "wine"

    def __init__(self, program: Path, session, planted_dll: Path):
        self.program = program
        self.legacy = without_element(program, session.work / "legacy-code-page.exe",
                                      "activeCodePage")
        self.unthemed = without_element(program, session.work / "no-dependency.exe", "dependency")
        self.planted_dll = planted_dll
        self.stand_ins = {PROGRAM: program.read_bytes(), PLANTED_DLL: planted_dll.read_bytes()}
        self.session = session

    def outcome(self, scenario: Scenario, root: Path, work: Path) -> Outcome:
        self.session.set_values(value_bytes(scenario.value, root),
                                value_bytes(scenario.other_view, root))
        exe = self.legacy if scenario.legacy_code_page else self.program
        exe = root / scenario.program_at if scenario.program_at else exe
        messages, calls, problems = [], [], []
        planted = [Path(path).name for path, entry in scenario.tree.items()
                   if entry == PLANTED_DLL]
        if planted and not self.session.planted_dll_runs(self.planted_dll, work,
                                                         scenario.dll_overrides, planted):
            problems.append(f"the planted DLL does not run as each of {planted} even when "
                            "loaded on purpose")
        drive = self.session.drive_z(root) if scenario.own_drive else contextlib.nullcontext()
        with drive:
            results = [self.session.run(exe, root / scenario.cwd, scenario.dll_overrides)
                       for _ in scenario.messages]
        for run, result in enumerate(results, 1):
            calls.append(result.calls)
            shown = call_trace.messages(result.calls)
            messages += shown if len(shown) == 1 else [f"<{len(shown)} messages: {shown}>"]
            if result.boxes != len(shown):
                problems.append(f"run {run}: {result.boxes} boxes on screen for {len(shown)} calls")
            if result.log:
                problems.append(f"run {run}: {result.log}")
            elif result.exit_code != 0:
                problems.append(f"run {run}: exit code {result.exit_code}")
        return Outcome(messages, calls, read_tree(root, self.stand_ins), self.session.key_values(),
                       self.session.key_values(own=False), problems)


def lost_key_counted_once(session, exe: Path) -> List[str]:
    """The harness's own control: a box whose first Return goes astray gets another, and still
    counts as one box."""
    session.set_values(None)
    with tempfile.TemporaryDirectory(prefix="kelvane-harness-") as cwd:
        result = session.run(exe, Path(cwd), traced=False, lose_first_key=True)
    if (result.exit_code, result.boxes, result.log) == (0, 1, "") and result.keys >= 2:
        return []
    return [f"wine: exit code {result.exit_code}, {result.boxes} boxes after {result.keys} "
            f"Return keys, the first lost{'; ' + result.log if result.log else ''}"]


# Version 6 of the common controls, from the side-by-side store, in the program's architecture.
COMMON_CONTROLS_6 = (r"C:\\windows\\winsxs\\{arch}_microsoft\.windows\.common-controls_"
                     r"6595b64144ccf1df_6\.[0-9.]+_[^\\]+\\comctl32\.dll")


def box_in_visual_style(session, program) -> List[str]:
    """The box loads version 6 of the common controls from the side-by-side store, and no other
    comctl32.dll; the same program without its manifest's dependency, the control, loads none."""
    arch = {64: "amd64", 32: "x86"}[session.bits]
    session.set_values(None)
    failures = []
    for exe, expected in ((program.program, 1), (program.unthemed, 0)):
        with tempfile.TemporaryDirectory(prefix="kelvane-harness-") as cwd:
            result = session.run(exe, Path(cwd))
        loaded = [dll for dll in result.box_dlls if dll.lower().endswith("\\comctl32.dll")]
        if (result.exit_code, result.boxes, len(loaded)) != (0, 1, expected) or not all(
                re.fullmatch(COMMON_CONTROLS_6.format(arch=arch), dll, re.I) for dll in loaded):
            failures.append(f"wine: {exe.name}, exit code {result.exit_code}, {result.boxes} "
                            f"boxes, loaded {loaded} while its box was up; {expected} wanted "
                            f"from the side-by-side store{'; ' + result.log if result.log else ''}")
    return failures


def read_back(platform: str, value: Optional[tuple], root: Path) -> List[tuple]:
    """What a key holds after a run that set `value` in it, or [] when it set none: the value
    unchanged, as the platform reads it back (Wine with its type and its data as stored, the
    stand-in as bytes alone)."""
    if value is None:
        return []
    kind, data = value_bytes(value, root)
    if platform == "wine":
        return [("Directory", kind, wine_session.stored_data(kind, data))]
    return [("Directory", None, data)]


def registry_read_fails_loudly(session) -> List[str]:
    """The harness's own control: a read that fails for any reason but a missing key must not
    pass as one."""
    try:
        values = session.values(r"HKEY_NOWHERE\Software")
    except wine_session.WineToolError:
        return []
    return [f"wine: reading a key under a root that does not exist gave {values}, not an error"]


def check(scenario: Scenario, platform: str, outcome: Outcome, root: Path) -> List[str]:
    difference = scenario.differs.get(platform)
    messages = difference.messages if difference and difference.messages else scenario.messages
    final = scenario.final if scenario.final is not None else scenario.tree
    if difference and difference.final is not None:
        final = difference.final
    failures = list(outcome.problems)
    if outcome.messages != messages:
        failures.append(f"messages {outcome.messages}, expected {messages}")
    if outcome.tree != final:
        failures.append("final tree differs:\n" + tree_diff(final, outcome.tree))
    expected_values = read_back(platform, scenario.value, root)
    if outcome.key_values != expected_values:
        failures.append(f"registry key holds {outcome.key_values}, expected {expected_values}")
    expected_other = read_back(platform, scenario.other_view, root) or None
    if outcome.other_key_values != expected_other:
        failures.append(f"the other view's key holds {outcome.other_key_values}, expected "
                        f"{expected_other}")
    if scenario.calls is not None and outcome.calls:
        root_text = call_trace.quote(windows_path(root))[1:-1]  # as it stands inside a string
        expected = [line.replace("{root}", root_text) for line in scenario.calls]
        actual = [str(call) for call in outcome.calls[0]]
        if actual != expected:
            at = next((i for i, (a, e) in enumerate(zip(actual, expected)) if a != e),
                      min(len(actual), len(expected)))
            failures.append(f"calls differ at call {at + 1}: expected "
                            f"{expected[at] if at < len(expected) else '(no more)'}, made "
                            f"{actual[at] if at < len(actual) else '(no more)'}")
    return [f"{platform}: {failure}" for failure in failures]


def run_scenario(programs: list, scenario: Scenario, work: Path) -> List[str]:
    """Returns the failures found, as text."""
    root = work / "root"  # the same path for every program, so that their calls compare
    if scenario.make:
        scenario = scenario.make(windows_path(root))
    failures, outcomes = [], {}
    for program in programs:
        scratch = work / program.name
        scratch.mkdir()
        root.mkdir()
        build_tree(root, scenario.tree, program.stand_ins)
        outcome = program.outcome(scenario, root, scratch)
        remove_tree(root)
        outcomes[program.name] = outcome
        failures += check(scenario, program.name, outcome, root)
    if len(outcomes) == 2:
        # A difference that leaves every outcome the same may part the programs only in what
        # their searches hand out: the calls that change something must still agree.
        same_outcome = all(d.messages is None and d.final is None for d in scenario.differs.values())
        if scenario.differs and not same_outcome:
            return failures
        linux, wine = outcomes["linux"].calls, outcomes["wine"].calls
        for run, (a, b) in enumerate(zip(linux, wine), 1):
            if scenario.differs:
                a, b = call_trace.changes(a), call_trace.changes(b)
            difference = call_trace.first_difference(a, b)
            if difference:
                failures.append(f"run {run}: the programs' calls differ, {difference}")
    return failures


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--program", required=True, type=Path, help="the Linux build")
    parser.add_argument("--wine-program", type=Path,
                        help="a Windows build: 64-bit runs under wine64, 32-bit under WOW64")
    parser.add_argument("--wine-preset", default="windows-x64",
                        help="the workflow preset that builds --wine-program, for the hint")
    parser.add_argument("-k", default="", help="run only scenarios whose name contains this")
    parser.add_argument("--skip-note", type=Path,
                        help="where to leave the reason when skipped, for CTest's summary")
    args = parser.parse_args()
    skips.clear(args.skip_note)
    unknown = {d.reason for s in SCENARIOS for d in s.differs.values()} - set(DIFFERENCES)
    if unknown:
        print(f"scenarios name undocumented platform differences: {unknown}")
        return 1

    started = time.monotonic()
    session = None
    programs: list = [LinuxProgram(args.program.resolve())]

    if args.wine_program:
        why_not = wine_session.cannot_run(args.wine_program, args.wine_preset)
        if why_not:
            return skips.skip(why_not, args.skip_note)
        bits = wine_session.image_bits(args.wine_program)
        session = wine_session.WineSession(bits)
    passed = failed = 0
    try:  # from here on, whatever goes wrong, the session ends and leaves nothing behind
        if session:
            program = args.wine_program.resolve()
            programs.append(WineProgram(program, session, program.parent / "uxtheme.dll"))
            print(f"Wine prefix and display ready for the {session.bits}-bit program in "
                  f"{time.monotonic() - started:.1f} s")
            for what, failures in [
                    ("a box whose first key is lost counts once",
                     lost_key_counted_once(session, programs[-1].program)),
                    ("a registry read that fails otherwise than for a missing key fails",
                     registry_read_fails_loudly(session)),
                    ("the box loads Common Controls 6 from the side-by-side store, and not "
                     "without the manifest's dependency",
                     box_in_visual_style(session, programs[-1]))]:
                print(("ok   " if not failures else "FAIL ") + "harness: " + what)
                for failure in failures:
                    print("    " + failure)
                failed += bool(failures)
        for scenario in SCENARIOS:
            if args.k not in scenario.name:
                continue
            with tempfile.TemporaryDirectory(prefix="kelvane-scenario-") as work:
                failures = run_scenario(programs, scenario, Path(work))
            print(("ok   " if not failures else "FAIL ") + scenario.name)
            for failure in failures:
                print("    " + failure)
            passed += not failures
            failed += bool(failures)
    finally:
        if session:
            session.close()
    on = " and ".join(p.name for p in programs)
    print(f"{passed} passed, {failed} failed, on {on}, in {time.monotonic() - started:.1f} s")
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
