"""Whole-program scenarios: a registry value, a starting tree, the messages, the final tree.

Trees map a path relative to the scenario's root, with '/', to an Entry. The installation
directory is Games/Demo and its parent is Games, unless a scenario says otherwise. A registry
value is given as its type and the bytes an ANSI read returns, in the UTF-8 code page the program
declares; "{install}" and "{root}" in them stand for the Windows paths of Games/Demo and of the
root. A value is set in the registry view of the program under test, the 32-bit view for the
32-bit release, unless a scenario says it belongs to the other view.
"""
from dataclasses import dataclass, field
from typing import Callable, Dict, List, NamedTuple, Optional, Union

from call_trace import quote


class Entry(NamedTuple):
    kind: str  # 'f' file, 'd' directory, 'l' symbolic link
    content: bytes = b""
    readonly: bool = False


def F(content: Union[str, bytes], ro: bool = False) -> Entry:
    return Entry("f", content.encode() if isinstance(content, str) else content, ro)


D = Entry("d")
PROGRAM = Entry("f", b"<the program itself>")
# A DLL named like one the system loads on demand; under Wine the real thing, built from
# tests/planted_dll.cpp, which marks the current folder when it is loaded.
PLANTED_DLL = Entry("f", b"<the planted DLL>")

Tree = Dict[str, Entry]

NOT_INSTALLED = "Please install Kelvane game first"
NOT_NEEDED = "Patch not needed."
PATCHED = "Kelvane DVD successfully patched "
MISSING = "Some file are missing. Reinstall the game and then apply the patch"

REQUIRED = """11 12 13 14 15 16 17 dlganims0 dlganims1 dlganims2 dlganims3 dlganims4 dlganims5
    dlganims6 voices1+ voices2+ voices3+ voices4+ voices5+ voices6+ voicesgen+ effects
    effects400 effects512 presentation presentation400 presentation512 anim anim_low cinema
    zvoices+ sfx text prebump mesh marks fix ffeedback""".split()
REQUIRED = [name + ".pak" for name in REQUIRED]

RENAMES = [(s + ".pak", l + ".pak") for s, l in [
    ("fects", "effects"), ("fects400", "effects400"), ("fects512", "effects512"),
    ("ganims0", "dlganims0"), ("ganims1", "dlganims1"), ("ganims2", "dlganims2"),
    ("ganims3", "dlganims3"), ("ganims4", "dlganims4"), ("ganims5", "dlganims5"),
    ("ganims6", "dlganims6"), ("tion", "presentation"), ("tion400", "presentation400"),
    ("tion512", "presentation512"), ("feedback", "ffeedback"), ("voices1", "voices1+"),
    ("voices2", "voices2+"), ("voices3", "voices3+"), ("voices4", "voices4+"),
    ("voices5", "voices5+"), ("voices6", "voices6+"), ("voicesge", "voicesgen+"),
    ("zvoices", "zvoices+")]]
LONG_OF = dict(RENAMES)
SHORT_OF = {l: s for s, l in RENAMES}


def sz(text: str):
    return ("REG_SZ", text.encode("utf-8") + b"\0")


def install(at: str = "Games/Demo", without=(), short=(), **extra: Entry) -> Tree:
    """A tree holding every required archive at `at` (each containing its own long name), less
    `without`, with the long names in `short` stored under their short names instead, and the
    `extra` entries, by their paths."""
    tree: Tree = {}
    parts = at.split("/")
    for i in range(1, len(parts) + 1):
        tree["/".join(parts[:i])] = D
    for name in REQUIRED:
        if name in without:
            continue
        stored = SHORT_OF[name] if name in short else name
        tree[f"{at}/{stored}"] = F(name)
    tree.update(extra)
    return tree


def moved(tree: Tree, **moves: str) -> Tree:
    """The tree with entries moved (old=new), keeping content and flags."""
    result = dict(tree)
    for old, new in moves.items():
        for path in [p for p in result if p == old or p.startswith(old + "/")]:
            result[new + path[len(old):]] = result.pop(path)
    return result


def writable(tree: Tree, *paths: str) -> Tree:
    return {p: (e._replace(readonly=False) if p in paths else e) for p, e in tree.items()}


# Where Windows, and Wine with it, and the Linux stand-in part ways on purpose or by nature. A
# scenario in which the two programs' outcomes or calls differ must name one of these; the
# platform differences of docs/tests.md list the same, with what was done about each.
DIFFERENCES = {
    "8.3 short names": "Windows and Wine give a long name an 8.3 short name, and a wildcard search "
                       "matches it too: *.pak matches voices1.pakx, and 'mesh.pak ' and 'c.pak.' "
                       "through short names ending in .PAK. The stand-in has no short names.",
    "symbolic links": "Wine follows a Unix symbolic link in SetFileAttributesA and MoveFileA: it makes "
                      "the file the link points to writable and moves that file, leaving the link "
                      "behind. The stand-in acts on the link itself and never touches its target.",
    "ANSI code page": "Windows before 10 version 1903 ignores the manifest's UTF-8 code page, and "
                      "the ANSI calls see names in the system's code page (1252 in the Wine prefix): "
                      "a character outside it arrives best-fit mapped to a look-alike ('\u012d' as "
                      "'i', U+FF3C as '\\') or as '?'. Such a name is skipped or its move fails. The "
                      "stand-in's code page is UTF-8, so it reaches every name.",
}


@dataclass
class Difference:
    """How one program's outcome departs from the scenario's, and which DIFFERENCES entry says why."""
    reason: str
    messages: Optional[List[str]] = None
    final: Optional[Tree] = None


@dataclass
class Scenario:
    name: str
    value: Optional[tuple]  # (type, bytes), or None for no key at all
    tree: Tree
    messages: List[str]  # one per run, in order
    final: Optional[Tree] = None  # None: unchanged
    cwd: str = ""  # where the program runs, relative to the root
    # For values that depend on where the scenario lies: called with the root's Windows path.
    make: Optional[Callable[[str], "Scenario"]] = None
    # Where the program is copied and run from (its entry in the trees is PROGRAM), if not outside.
    program_at: str = ""
    notes: str = ""
    # The platform calls of the first run, where they are pinned down: see Expect.
    calls: Optional[List[str]] = None
    # Per program ("linux" or "wine"), a documented departure from the expectations above.
    differs: Dict[str, Difference] = field(default_factory=dict)
    # A value in the registry's other view: the 32-bit one for a 64-bit program, and the reverse.
    other_view: Optional[tuple] = None
    # The Windows program runs without its manifest's UTF-8 code page, as Windows before 10
    # version 1903 runs it.
    legacy_code_page: bool = False
    # WINEDLLOVERRIDES additions for the Windows program.
    dll_overrides: str = ""
    # The root of drive Z: (of every drive, for the stand-in) is the scenario's root instead of
    # the machine's "/", so that a run that reaches for a drive's root cannot leave its folder.
    own_drive: bool = False


class Expect:
    """Builds the expected platform calls of one run, in the text form of call_trace. Paths
    start with {root}, the scenario's root; the installation directory is {root}\\Games\\Demo."""

    def __init__(self, install: str = r"{root}\Games\Demo", prefix: str = "{root}\\Games\\"):
        # The installation directory as read, and the parent prefix cut from it.
        self.install, self.prefix, self.lines, self.handles = install, prefix, [], 0

    def _search(self, path: str, found: bool) -> str:
        if not found:
            self.lines.append(f'FindFirstFileA({quote(path)}) = INVALID')
            return ""
        self.handles += 1
        self.lines.append(f'FindFirstFileA({quote(path)}) = h{self.handles}')
        return f"h{self.handles}"

    def read_key(self, status: int = 0, close: bool = True) -> "Expect":
        self.lines += [r'RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\KelvaneTarnwick\\Directory",'
                       r' 0, null, 0, 0xf003f, null) = 0',
                       f'RegQueryValueExA(k1, "Directory", null) = {status}']
        return self.close_key() if close else self

    def check(self, missing: Optional[str] = None) -> "Expect":
        """Probes the required names in order, up to the missing one."""
        for name in REQUIRED:
            handle = self._search(f"{self.install}\\{name}", name != missing)
            if not handle:
                break
            self.lines.append(f"FindClose({handle}) = TRUE")
        return self

    def relocate(self, pattern: str, *matches) -> "Expect":
        """matches, in search order: a name alone for one that is skipped, else (name, source
        attributes set, target attributes set, moved)."""
        handle = self._search(self.prefix + pattern, bool(matches))
        for i, match in enumerate(matches):
            if not isinstance(match, str):
                name, source_set, target_set, moved = match
                source, target = self.prefix + name, f"{self.install}\\{name}"
                self.lines += [f'SetFileAttributesA({quote(source)}, 0x80) = {_truth(source_set)}',
                               f'SetFileAttributesA({quote(target)}, 0x80) = {_truth(target_set)}',
                               f'MoveFileA({quote(source)}, {quote(target)}) = {_truth(moved)}']
            self.lines.append(f"FindNextFileA({handle}) = {_truth(i + 1 < len(matches))}")
        if matches:
            self.lines.append(f"FindClose({handle}) = TRUE")
        return self

    def restore(self, renamed=(), long_present=()) -> "Expect":
        """The 22 renames; `renamed` are the short names that move, `long_present` the long names
        already there (their attributes are set)."""
        for short, long in RENAMES:
            source, target = f"{self.install}\\{short}", f"{self.install}\\{long}"
            self.lines += [f'SetFileAttributesA({quote(target)}, 0x80) = '
                           f'{_truth(long in long_present)}',
                           f'MoveFileA({quote(source)}, {quote(target)}) = {_truth(short in renamed)}']
        return self

    def box(self, text: str) -> "Expect":
        style = "0x10" if text in (NOT_INSTALLED, MISSING) else "0x0"
        self.lines.append(f'MessageBoxA(null, {quote(text)}, " ", {style}) = 1')
        return self

    def close_key(self) -> "Expect":
        self.lines.append("RegCloseKey(k1) = 0")
        return self


def _truth(value: bool) -> str:
    return "TRUE" if value else "FALSE"


def _linked(moved_link: bool = False, wine: bool = False) -> Tree:
    """A parent holding fix.pak and a link.pak that points at a read-only file outside."""
    tree = install(without=["fix.pak"] if not (moved_link or wine) else (),
                   **{"Shared": D, "Shared/data.bin": F("data", ro=True)})
    link = Entry("l", b"../Shared/data.bin")
    if not (moved_link or wine):
        tree.update({"Games/fix.pak": F("fix.pak"), "Games/link.pak": link})
    elif moved_link:
        tree["Games/Demo/link.pak"] = link
    else:  # the target moved in, made writable; the link stays, pointing at nothing
        del tree["Shared/data.bin"]
        tree.update({"Games/link.pak": link, "Games/Demo/link.pak": F("data")})
    return tree


def _whole_buffer(root: str) -> Scenario:
    # A value of exactly 256 bytes, no zero: a real directory whose path fills the buffer.
    pad = 256 - len(root + "\\Games\\")
    at = "Games/" + "p" * pad
    tree = install(at=at, without=["11.pak"], **{"Games/11.pak": F("11", True)})
    value = f"{root}\\Games\\{'p' * pad}"
    return Scenario("value fills the whole buffer", ("REG_BINARY", value.encode()),
                    tree, [MISSING], final=moved(writable(tree, "Games/11.pak"), **{"Games/11.pak": f"{at}/11.pak"}),
                    notes="every probe path exceeds MAX_PATH, so nothing is found; a move's new "
                          "path may, so the parent's archive moves in all the same",
                    calls=Expect(install=value, prefix=f"{root}\\Games\\").read_key().check(missing="11.pak")
                    .relocate("*.pak", ("11.pak", True, False, True)).relocate("*.exe").restore()
                    .check(missing="11.pak").box(MISSING).lines)


def _both_faults() -> Tree:
    tree = install(without=["11.pak", "12.pak", "cinema.pak"],
                   short=["effects.pak", "voices3+.pak", "presentation512.pak"],
                   **{"Games/11.pak": F("11.pak"), "Games/12.pak": F("12.pak", ro=True),
                      "Games/cinema.pak": F("cinema.pak"), "Games/game.exe": F("exe"),
                      "Games/notes.txt": F("keep me")})
    tree["Games/Demo/tion512.pak"] = F("presentation512.pak", ro=True)
    return tree


BOTH_FAULTS = _both_faults()


def _fixed(tree: Tree, parent_moves=(), renames=(), normalised=()) -> Tree:
    """The tree after relocation of `parent_moves` from Games into Games/Demo, then the given
    short-to-long renames inside Games/Demo, with `normalised` paths (final names) writable."""
    result = moved(tree, **{f"Games/{n}": f"Games/Demo/{n}" for n in parent_moves})
    result = moved(result, **{f"Games/Demo/{s}": f"Games/Demo/{LONG_OF[s]}" for s in renames})
    return writable(result, *normalised)


# A name that, best-fit mapped to a legacy code page, climbs out of the parent to a protected file.
ESCAPING = "x\uff3c..\uff3c..\uff3cProtected\uff3ctool.exe"
LOOK_ALIKES = install(without=["fix.pak"], **{
    "Games/fix.pak": F("fix.pak"), f"Games/{ESCAPING}": F("look-alike"),
    "Games/f\u012dx.pak": F("another fix"), "Games/Protected": D,
    "Protected": D, "Protected/tool.exe": F("protected", ro=True)})
# Where UTF-8 names leave them: every look-alike is a name of its own, moved like any other.
LOOK_ALIKES_MOVED = moved(LOOK_ALIKES, **{"Games/fix.pak": "Games/Demo/fix.pak",
                                          f"Games/{ESCAPING}": f"Games/Demo/{ESCAPING}",
                                          "Games/f\u012dx.pak": "Games/Demo/f\u012dx.pak"})


# DLLs that the message box makes the system load, planted beside the program in Downloads.
PLANTED = {"Downloads": D, "Downloads/kelvane-patch.exe": PROGRAM,
           "Downloads/uxtheme.dll": PLANTED_DLL, "Downloads/comctl32.dll": PLANTED_DLL}


# Names a search hands out but a path cannot spell: Win32 drops the trailing space and dot.
TRAILING = install(without=["fix.pak"], **{"Games/fix.pak": F("fix.pak"), "Games/mesh.pak ": F("b", ro=True),
                                           "Games/c.pak.": F("c"), "Games/Demo/mesh.pak": F("mesh.pak", ro=True)})


# For the path rules: an archive in the parent and a short name inside, so that both the value's
# paths and the parent's, derived from it, must resolve for the repair to complete.
PATH_RULES = install(without=["11.pak"], short=["zvoices+.pak"],
                     **{"Games/11.pak": F("11.pak"), "Games/notes.txt": F("notes")})
PATH_RULES_FIXED = install(**{"Games/notes.txt": F("notes")})


def _path_rule(name: str, value: str, repaired: bool = True, **options) -> Scenario:
    return Scenario(name, sz(value), PATH_RULES, [PATCHED if repaired else MISSING],
                    final=PATH_RULES_FIXED if repaired else None, **options)


SCENARIOS: List[Scenario] = [
    Scenario("key absent", None, install(at="Games/Demo", without=["11.pak"]),
             [NOT_INSTALLED, NOT_INSTALLED], notes="the key is created empty and stays",
             calls=Expect().read_key(2, close=False).box(NOT_INSTALLED).close_key().lines),
    Scenario("value too large", ("REG_SZ", b"x" * 299 + b"\0"), install(), [NOT_INSTALLED],
             calls=Expect().read_key(234, close=False).box(NOT_INSTALLED).close_key().lines),
    *[Scenario(name, value, {"x.pak": F("x"), "Games": D, "Games/a.pak": F("a")},
               [NOT_INSTALLED], notes="nothing is taken from the current directory",
               calls=Expect().read_key().box(NOT_INSTALLED).lines)
      for name, value in [("empty value", ("REG_SZ", b"\0")), ("value of no bytes", ("REG_BINARY", b"")),
                          ("value of zeros", ("REG_BINARY", b"\0" * 8)),
                          ("value of a drive, then a zero", ("REG_BINARY", b"c:\0\\Games"))]],
    Scenario("complete", sz("{install}"), install(**{"Games/x.pak": F("x", ro=True)}), [NOT_NEEDED],
             calls=Expect().read_key().check().box(NOT_NEEDED).lines),
    Scenario("directory counts as archive", sz("{install}"),
             {**{p: e for p, e in install().items() if p != "Games/Demo/sfx.pak"}, "Games/Demo/sfx.pak": D},
             [NOT_NEEDED]),
    Scenario("both faults, then nothing to do", sz("{install}"), BOTH_FAULTS, [PATCHED, NOT_NEEDED],
             final=_fixed(BOTH_FAULTS, ["11.pak", "12.pak", "cinema.pak", "game.exe"],
                          ["fects.pak", "voices3.pak", "tion512.pak"], ["Games/Demo/12.pak"])),
    Scenario("short names only", sz("{install}"), install(short=[l for _, l in RENAMES]), [PATCHED],
             final=install()),
    Scenario("repairs that cannot complete", sz("{install}"),
             install(without=["17.pak", "mesh.pak"], short=["zvoices+.pak"]), [MISSING],
             final=install(without=["17.pak", "mesh.pak"])),
    Scenario("short name in the parent", sz("{install}"),
             install(without=["effects.pak"], **{"Games/fects.pak": F("effects.pak", ro=True),
                                                 "Games/setup.exe": F("setup")}),
             [PATCHED], final=install(**{"Games/Demo/setup.exe": F("setup")}),
             calls=Expect().read_key().check(missing="effects.pak")
             .relocate("*.pak", ("fects.pak", True, False, True))
             .relocate("*.exe", ("setup.exe", True, False, True))
             .restore(renamed=["fects.pak"], long_present=set(REQUIRED) - {"effects.pak"})
             .check().box(PATCHED).lines),
    Scenario("target already there", sz("{install}"),
             install(short=["voices1+.pak"], **{"Games/voices1.pak": F("parent copy", ro=True),
                                                "Games/Demo/voices1.pak": F("voices1+.pak", ro=True)}),
             [PATCHED], final=install(**{"Games/voices1.pak": F("parent copy")}),
             notes="the parent's copy stays; both copies are made writable"),
    Scenario("both short and long present, repair runs", sz("{install}"),
             install(without=["11.pak"], **{"Games/Demo/voices3.pak": F("short copy", ro=True),
                                             "Games/Demo/voices3+.pak": F("voices3+.pak", ro=True)}),
             [MISSING],
             final=install(without=["11.pak"], **{"Games/Demo/voices3.pak": F("short copy", ro=True)})),
    Scenario("dot names stay, directories move", sz("{install}"),
             install(without=["anim.pak"], **{"Games/.pak": F("dot", ro=True), "Games/.hidden.exe": F("h"),
                                              "Games/anim.pak": F("anim.pak"), "Games/maps.pak": D,
                                              "Games/maps.pak/inner": F("inner", ro=True),
                                              "Games/readme.txt": F("stay")}),
             [PATCHED],
             final=install(**{"Games/.pak": F("dot", ro=True), "Games/.hidden.exe": F("h"),
                              "Games/Demo/maps.pak": D, "Games/Demo/maps.pak/inner": F("inner", ro=True),
                              "Games/readme.txt": F("stay")})),
    Scenario("installation directory missing", sz("{root}\\Games\\Gone"),
             {"Games": D, "Games/11.pak": F("11", ro=True), "Games/.pak": F("dot", ro=True),
              "Games/run.exe": F("run", ro=True)},
             [MISSING],
             final={"Games": D, "Games/11.pak": F("11"), "Games/.pak": F("dot", ro=True),
                    "Games/run.exe": F("run")},
             calls=Expect(install="{root}\\Games\\Gone").read_key().check(missing="11.pak")
             .relocate("*.pak", ".pak", ("11.pak", True, False, False))
             .relocate("*.exe", ("run.exe", True, False, False))
             .restore().check(missing="11.pak").box(MISSING).lines),
    Scenario("only the last archive missing, nothing to repair", sz("{install}"),
             install(without=["ffeedback.pak"]), [MISSING],
             calls=Expect().read_key().check(missing="ffeedback.pak").relocate("*.pak")
             .relocate("*.exe").restore(long_present=set(REQUIRED) - {"ffeedback.pak"})
             .check(missing="ffeedback.pak").box(MISSING).lines),
    Scenario("value ends in a backslash", sz("{install}\\"),
             install(short=["effects.pak"], **{"Games/Demo/11.pak": F("11.pak", ro=True),
                                               "Games/x.pak": F("parent")}),
             [PATCHED],
             final=install(**{"Games/x.pak": F("parent")}),
             notes="the installation directory is its own parent: everything stays, made writable",
             calls=Expect(install="{root}\\Games\\Demo\\", prefix="{root}\\Games\\Demo\\")
             .read_key().check(missing="effects.pak")
             .relocate("*.pak", *[(name, True, True, True) for name in
                                  sorted(set(REQUIRED) - {"effects.pak"} | {"fects.pak"})])
             .relocate("*.exe")
             .restore(renamed=["fects.pak"], long_present=set(REQUIRED) - {"effects.pak"})
             .check().box(PATCHED).lines),
    Scenario("value without a backslash", sz("Demo"),
             install(without=["fix.pak"], **{"Games/fix.pak": F("fix.pak")}),
             [PATCHED], final=install(), cwd="Games",
             calls=Expect(install="Demo", prefix="").read_key().check(missing="fix.pak")
             .relocate("*.pak", ("fix.pak", True, False, True)).relocate("*.exe")
             .restore(long_present=REQUIRED).check().box(PATCHED).lines),
    Scenario("binary value, text up to the first zero", ("REG_BINARY", b"{install}\0\\Elsewhere"),
             install(), [NOT_NEEDED]),
    Scenario("binary value without a terminator", ("REG_BINARY", b"{install}"),
             install(short=["effects400.pak"]), [PATCHED], final=install()),
    Scenario("multi-string value, first string", ("REG_MULTI_SZ", b"{install}\0{root}\\Other\0\0"),
             install(short=["dlganims4.pak"]), [PATCHED], final=install()),
    Scenario("own executable in the parent", sz("{install}"),
             install(without=["13.pak"], **{"Games/13.pak": F("13.pak"), "Games/kelvane-patch.exe": PROGRAM}),
             [PATCHED], final=install(**{"Games/Demo/kelvane-patch.exe": PROGRAM}),
             program_at="Games/kelvane-patch.exe"),
    Scenario("expandable value, not expanded", ("REG_EXPAND_SZ", b"%KELVANE%\\Demo\0"),
             install(at="%KELVANE%/Demo", without=["marks.pak"], **{"%KELVANE%/marks.pak": F("marks.pak")}),
             [PATCHED], final=install(at="%KELVANE%/Demo")),
    Scenario("value fills the whole buffer", None, {}, [], make=_whole_buffer),
    Scenario("longer extension in the parent", sz("{install}"),
             install(without=["fix.pak"], **{"Games/fix.pak": F("fix.pak"),
                                             "Games/voices1.pakx": F("not an archive")}),
             [PATCHED], final=install(**{"Games/voices1.pakx": F("not an archive")}),
             differs={"wine": Difference("8.3 short names", final=install(
                 **{"Games/Demo/voices1.pakx": F("not an archive")}))}),
    Scenario("symbolic link in the parent", sz("{install}"), _linked(),
             [PATCHED], final=_linked(moved_link=True),
             differs={"wine": Difference("symbolic links", final=_linked(wine=True))}),
    Scenario("names beyond ASCII in the parent", sz("{install}"),
             install(without=["fix.pak"], **{"Games/fix.pak": F("fix.pak"), "Games/caf\u00e9.pak": F("1"),
                                             "Games/\u0436.pak": F("2")}),
             [PATCHED], final=install(**{"Games/Demo/caf\u00e9.pak": F("1"), "Games/Demo/\u0436.pak": F("2")})),
    Scenario("names beyond ASCII in the installation path", sz("{root}\\Games\\\u0414\u0435\u043c\u043e"),
             install(at="Games/\u0414\u0435\u043c\u043e", without=["fix.pak"], short=["effects.pak"],
                     **{"Games/fix.pak": F("fix.pak")}),
             [PATCHED], final=install(at="Games/\u0414\u0435\u043c\u043e")),
    Scenario("look-alike names in the parent", sz("{install}"), LOOK_ALIKES, [PATCHED],
             final=LOOK_ALIKES_MOVED),
    Scenario("look-alike names under a legacy code page", sz("{install}"), LOOK_ALIKES, [PATCHED],
             legacy_code_page=True, final=LOOK_ALIKES_MOVED,
             notes="the escaping name arrives as x\\..\\..\\Protected\\tool.exe and is skipped; "
                   "f\u012dx.pak arrives as fix.pak, already moved, and stays",
             differs={"wine": Difference("ANSI code page", final=moved(
                 LOOK_ALIKES, **{"Games/fix.pak": "Games/Demo/fix.pak"}))}),
    Scenario("value of only a drive", sz("Z:"),
             {"Downloads": D, "Downloads/kelvane-patch.exe": PROGRAM,
              "Downloads/stray.pak": F("x"), "Downloads/stray.exe": F("y")},
             [NOT_INSTALLED], program_at="Downloads/kelvane-patch.exe", cwd="Downloads",
             own_drive=True, notes="nothing is moved from the current folder to the drive's root",
             calls=Expect().read_key().box(NOT_INSTALLED).lines),
    Scenario("key only in the other view", None, install(), [NOT_INSTALLED],
             other_view=sz("{install}"), notes="the program's own key is created, empty",
             calls=Expect().read_key(2, close=False).box(NOT_INSTALLED).close_key().lines),
    Scenario("different values in the two views", sz("{install}"),
             {**install(short=["voices2+.pak"]), **install(at="Other/Demo", without=["fix.pak"])},
             [PATCHED], other_view=sz("{root}\\Other\\Demo"),
             final={**install(), **install(at="Other/Demo", without=["fix.pak"])}),
    Scenario("planted DLL beside the program", sz("{install}"),
             {**install(short=["zvoices+.pak"]), **PLANTED},
             [PATCHED], final={**install(), **PLANTED},
             program_at="Downloads/kelvane-patch.exe", cwd="Downloads",
             dll_overrides="uxtheme,comctl32=n,b",
             notes="loaded, either DLL would leave planted-dll-ran in the current folder; the "
                   "box takes comctl32.dll from the side-by-side store, as the manifest asks"),
    Scenario("trailing space and dot in the parent, the same name installed read-only", sz("{install}"),
             TRAILING, [PATCHED], final=moved(TRAILING, **{"Games/fix.pak": "Games/Demo/fix.pak"}),
             notes="a path drops the trailing space: 'mesh.pak ' would name the installed mesh.pak",
             differs={"wine": Difference("8.3 short names")}),
    # Win32 resolves a path by its text before it looks anything up.
    _path_rule("letter case folded in every folder", "{root}\\GAMES\\demo"),
    _path_rule("one trailing dot dropped from each folder", "{root}\\Games.\\Demo."),
    _path_rule("spaces at the value's end stay inside each path", "{install}  ", repaired=False),
    _path_rule("dot-dot after a missing folder", "{root}\\Games\\Nowhere\\..\\Demo"),
    _path_rule("dot-dot after a file, and a dot", "{root}\\Games\\notes.txt\\..\\.\\Demo"),
    _path_rule("drive-relative value", "Z:Games\\Demo"),
    _path_rule("value under \\\\?\\, case still folded", "\\\\?\\{root}\\games\\demo"),
    _path_rule("value under \\\\?\\ with a dot, taken literally", "\\\\?\\{root}\\Games\\.\\Demo",
               repaired=False),
]
