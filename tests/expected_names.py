#!/usr/bin/env python3
"""Writes expected_names.h for the C++ tests: the archive names and short names as the scenarios
know them (tests/scenarios.py), so that the C++ tests never take their expectations from the
program's own tables. Usage: expected_names.py OUTPUT"""
import sys
from pathlib import Path

from scenarios import RENAMES, REQUIRED


def c_string(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


lines = [f"// Made by {Path(__file__).name} from scenarios.py; the tests' own copy of the names.",
         "#pragma once", "", "#include <array>", "#include <utility>", "",
         f"inline constexpr std::array<const char*, {len(REQUIRED)}> ExpectedArchives = {{",
         *(f"    {c_string(name)}," for name in REQUIRED), "};", "",
         "inline constexpr std::array<std::pair<const char*, const char*>, "
         f"{len(RENAMES)}> ExpectedRenames = {{{{",
         *(f"    {{{c_string(short)}, {c_string(long)}}}," for short, long in RENAMES), "}};", ""]
Path(sys.argv[1]).write_text("\n".join(lines))
