#!/usr/bin/env python3
"""Packages a built kelvane-patch.exe for players, byte for byte the same on every run.

  players-text README.md VERSION
      prints the players' README.txt: the part of README.md between the "players: begin" and
      "players: end" comments, as plain text that Notepad shows right on any Windows (ASCII, CRLF
      line ends, lines of at most 76 characters)
  zip --version V --exe EXE [--unsigned EXE] README.md DIST
      writes DIST/kelvane-patch-V-win32.zip holding kelvane-patch.exe and README.txt, a copy of
      each executable beside it, and DIST/SHA256SUMS for all of them (the unsigned build is listed
      as kelvane-patch-unsigned.exe)

The zip's entries are stored in a fixed order, with the time given by SOURCE_DATE_EPOCH, no
extra fields and no Unix mode bits (the archive attribute alone), so two runs give the same bytes.
"""
import argparse
import hashlib
import os
import re
import shutil
import sys
import textwrap
import time
import zipfile
from pathlib import Path

WIDTH = 76
BEGIN = re.compile(r"<!-- players: begin.*?-->\n")
END = "<!-- players: end -->"


def inline(text: str) -> str:
    text = re.sub(r"!\[([^]]*)\]\([^)]*\)", r'"\1"', text)  # an image: its alt text, quoted
    text = re.sub(r"\[([^]]*)\]\([^)]*\)", r"\1", text)
    text = re.sub(r"\*\*([^*]+)\*\*", r"\1", text)
    return re.sub(r"`([^`]+)`", r"\1", text)


def wrap(text: str, indent: str = "", first: str = "") -> list:
    return textwrap.wrap(inline(text), WIDTH, initial_indent=first or indent,
                         subsequent_indent=indent, break_long_words=False,
                         break_on_hyphens=False)


def table(rows: list) -> list:
    """Each row as its first cell on a line of its own, then the others under their headers."""
    cells = [[cell.strip() for cell in row.strip().strip("|").split("|")] for row in rows]
    header, body = cells[0], cells[2:]
    out = []
    for row in body:
        out += wrap(row[0]) + [line for name, cell in zip(header[1:], row[1:])
                               for line in wrap(f"{name}: {cell}", " " * 4)] + [""]
    return out[:-1]


def players_text(markdown: str, version: str) -> str:
    start = BEGIN.search(markdown)
    if not start or END not in markdown[start.end():]:
        raise ValueError("README.md has no players' part between its players: comments")
    lines = markdown[start.end():markdown.index(END, start.end())].splitlines()
    title = f"Kelvane patch {version}"
    out = [title, "=" * len(title), ""]
    i = 0
    while i < len(lines):
        line = lines[i]
        if not line.strip():
            i += 1
            continue
        if line.startswith("```"):
            end = lines.index("```", i + 1)
            out += ["    " + code for code in lines[i + 1:end]] + [""]
            i = end + 1
            continue
        block = []
        while i < len(lines) and lines[i].strip() and not lines[i].startswith("```"):
            block.append(lines[i])
            i += 1
        if block[0].startswith("|"):
            out += table(block) + [""]
            continue
        items = []  # a list's items, or a paragraph as one item without a marker
        for row in block:
            marker = re.match(r"(\d+\.|-) ", row)
            if marker or not items:
                items.append([marker.group(0) if marker else "", row[len(marker.group(0)):]
                              if marker else row])
            else:
                items[-1][1] += " " + row.strip()
        for marker, text in items:
            out += wrap(text, " " * len(marker), marker)
        out.append("")
    text = "\r\n".join(out).rstrip("\r\n") + "\r\n"
    leftover = [mark for mark in ("`", "**", "](", "|", "<!--") if mark in text]
    if leftover:
        raise ValueError(f"markdown left in the players' text: {leftover}")
    if not text.isascii():
        raise ValueError("the players' text must be ASCII, which every Notepad shows right: "
                         + repr(sorted({c for c in text if not c.isascii()})))
    return text


def sha256(path: Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()


def write_zip(args) -> None:
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if not epoch:
        raise SystemExit("SOURCE_DATE_EPOCH is not set; scripts/release.sh sets it")
    stamp = time.gmtime(max(int(epoch), 315532800))[:6]  # no earlier than 1980, zip's epoch
    readme = players_text(args.readme.read_text(encoding="utf-8"), args.version).encode("ascii")
    args.dist.mkdir(parents=True, exist_ok=True)
    archive = args.dist / f"kelvane-patch-{args.version}-win32.zip"
    with zipfile.ZipFile(archive, "w") as zipped:
        for name, data in (("kelvane-patch.exe", args.exe.read_bytes()), ("README.txt", readme)):
            entry = zipfile.ZipInfo(name, date_time=stamp)
            entry.create_system = 0  # MS-DOS: no Unix mode bits in the external attributes,
            entry.external_attr = 0x20  # only FILE_ATTRIBUTE_ARCHIVE, as Windows' own zips have
            entry.compress_type = zipfile.ZIP_DEFLATED
            zipped.writestr(entry, data, compresslevel=9)
    listed = [archive, args.dist / "kelvane-patch.exe"]
    shutil.copyfile(args.exe, listed[1])
    if args.unsigned:
        listed.append(args.dist / "kelvane-patch-unsigned.exe")
        shutil.copyfile(args.unsigned, listed[2])
    (args.dist / "SHA256SUMS").write_text("".join(f"{sha256(p)}  {p.name}\n" for p in listed))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    text = commands.add_parser("players-text")
    text.add_argument("readme", type=Path)
    text.add_argument("version")
    package = commands.add_parser("zip")
    package.add_argument("--version", required=True)
    package.add_argument("--exe", type=Path, required=True)
    package.add_argument("--unsigned", type=Path)
    package.add_argument("readme", type=Path)
    package.add_argument("dist", type=Path)
    args = parser.parse_args()
    try:
        if args.command == "players-text":
            sys.stdout.buffer.write(players_text(args.readme.read_text(encoding="utf-8"),
                                                 args.version).encode("ascii"))
        else:
            write_zip(args)
    except ValueError as error:
        print(f"package.py: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
