"""The nine platform calls of one run, read from either program's trace, in one comparable form.

That form is the one the stand-in's interposer writes (src/platform/posix/platform_calls.h) and the
C++ tests compare: `Name(arg, ...) = result`, with strings quoted as Wine quotes them, input and
reserved pointers and window handles as ptr or null, out pointers left out, search handles and keys
as h1, h2, ... and k1, ... in the order the program met them, and a result in words. The stand-in's
trace is in that form already; Wine's relay channel writes a Call line and a Ret line per call,
with raw values, which are brought to it here. The two programs' traces then compare equal when
they made the same calls with the same outcomes.
"""
import re
from typing import List, NamedTuple, Optional, Tuple


def quote(value: str) -> str:
    """Quoted and escaped as Wine's relay channel and the stand-in's trace both write strings."""
    out = []
    for char in value:
        if char in '"\\':
            out.append("\\" + char)
        elif 0x20 <= ord(char) < 0x7F:
            out.append(char)
        else:
            out.append(f"\\x{ord(char):02x}")
    return '"' + "".join(out) + '"'


class Text(NamedTuple):
    """A string argument. Wine cuts long strings short; then `whole` is False."""
    value: str
    whole: bool = True

    def __str__(self) -> str:
        return quote(self.value) + ("" if self.whole else "...")


class Call(NamedTuple):
    name: str
    args: Tuple
    result: str

    def __str__(self) -> str:
        return f"{self.name}({', '.join(map(str, self.args))}) = {self.result}"


def same(a, b) -> bool:
    """Equal, where a string cut short by Wine matches any string it is the start of."""
    if isinstance(a, Call) and isinstance(b, Call):
        return (a.name, a.result, len(a.args)) == (b.name, b.result, len(b.args)) and all(
            same(x, y) for x, y in zip(a.args, b.args))
    if isinstance(a, Text) and isinstance(b, Text):
        if a.whole and b.whole:
            return a.value == b.value
        shorter, longer = sorted((a, b), key=lambda t: t.whole)  # the cut one first
        return longer.value.startswith(shorter.value)
    return a == b


_ESCAPES = {"\\": "\\", '"': '"', "n": "\n", "r": "\r", "t": "\t"}
_ARG = re.compile(r'\s*(?:([0-9a-fA-F]+)\s*)?(?:"((?:[^"\\]|\\.)*)"(\.\.\.)?)?\s*(?:,|$)')


def _unescape(quoted: str) -> str:
    out, i = [], 0
    while i < len(quoted):
        if quoted[i] == "\\":
            if quoted[i + 1] == "x":
                out.append(chr(int(quoted[i + 2:i + 4], 16)))
                i += 4
                continue
            out.append(_ESCAPES[quoted[i + 1]])
            i += 2
        else:
            out.append(quoted[i])
            i += 1
    return "".join(out)


def _parse_args(text: str) -> list:
    """`0021f8a0 "Z:\\\\x",80` -> [Text('Z:\\x'), 0x80]: a quoted string wins over its pointer."""
    args, at = [], 0
    while at < len(text):
        match = _ARG.match(text, at)
        if not match or match.end() == at:
            raise ValueError(f"cannot read arguments {text!r}")
        number, quoted, cut = match.groups()
        args.append(Text(_unescape(quoted), not cut) if quoted is not None else int(number, 16))
        at = match.end()
    return args


class _Names:
    """Hands out h1, h2, ... for search handles and k1, ... for keys as the program receives them."""

    def __init__(self):
        self.current = {}
        self.count = {"h": 0, "k": 0}

    def new(self, kind: str, raw: int) -> str:
        self.count[kind] += 1
        self.current[(kind, raw)] = f"{kind}{self.count[kind]}"
        return self.current[(kind, raw)]

    def of(self, kind: str, raw: int) -> str:
        if raw == 0:
            return "null"
        return self.current.get((kind, raw), f"unknown {kind} {raw:#x}")


def _dword(value: int) -> int:
    return value & 0xFFFFFFFF  # a 64-bit register may carry junk above a 32-bit argument


INVALID_HANDLE = (1 << 64) - 1
HKEY_LOCAL_MACHINE = 0x80000002


def pointer(value: int) -> str:
    return "null" if value == 0 else "ptr"


# How each kind of raw argument or result reads in the text form; `names` hands out h1, k1, ...
def _root(names, raw): return "HKEY_LOCAL_MACHINE" if _dword(raw) == HKEY_LOCAL_MACHINE else hex(raw)
def _key(names, raw): return "null" if raw == 0 else names.current.get(("k", raw)) or names.new("k", raw)
def _handle(names, raw): return names.of("h", raw)
def _search(names, raw): return "INVALID" if raw in (INVALID_HANDLE, 0xFFFFFFFF) else names.new("h", raw)
def _text(names, raw): return raw
def _decimal(names, raw): return str(_dword(raw))
def _hex(names, raw): return hex(_dword(raw))
def _pointer(names, raw): return pointer(raw)
def _boolean(names, raw): return "TRUE" if _dword(raw) else "FALSE"
def _process(names, raw): return "current" if _dword(raw) == 0xFFFFFFFF else hex(raw)  # (HANDLE)-1
def _as_is(names, raw): return raw


# Per call: the kinds of its arguments, in order, and of its result. A key is named where it is
# first used, as the handle RegCreateKeyExA writes out is not traced.
CALLS = {
    "RegCreateKeyExA": ((_root, _text, _decimal, _pointer, _decimal, _hex, _pointer), _decimal),
    "RegQueryValueExA": ((_key, _text, _pointer), _decimal),
    "RegCloseKey": ((_key,), _decimal),
    "FindFirstFileA": ((_text,), _search),
    "FindNextFileA": ((_handle,), _boolean),
    "FindClose": ((_handle,), _boolean),
    "SetFileAttributesA": ((_text, _hex), _boolean),
    "MoveFileA": ((_text, _text), _boolean),
    "MessageBoxA": ((_pointer, _text, _text, _hex), _decimal),
    # The two ways the program can end the process early, traced too. Neither returns.
    "TerminateProcess": ((_process, _decimal), _as_is),
    "abort": ((), _as_is),
}
ENDS = {"TerminateProcess", "abort"}
TRACED = set(CALLS) - ENDS
NO_RETURN = "(no return)"


def normalise(raw_calls: List[Tuple[str, list, int]]) -> List[Call]:
    names, calls = _Names(), []
    for name, raw_args, result in raw_calls:
        if name not in CALLS:
            raise ValueError(f"unexpected call {name}")
        kinds, result_kind = CALLS[name]
        args = tuple(kind(names, raw) for kind, raw in zip(kinds, raw_args))
        calls.append(Call(name, args, result_kind(names, result)))
    return calls


_STANDIN_LINE = re.compile(r"^(\w+)\((.*)\) = ([^()]+)$")
_STANDIN_ARG = re.compile(r'"((?:[^"\\]|\\.)*)"|([^,"]+)')


def read_standin_trace(text: str) -> List[Call]:
    calls = []
    for line in text.splitlines():
        match = _STANDIN_LINE.match(line)
        if not match:
            raise ValueError(f"unreadable trace line {line!r}")
        args, at = [], 0
        while at < len(match[2]):
            arg = _STANDIN_ARG.match(match[2], at)
            if not arg:
                raise ValueError(f"unreadable arguments in {line!r}")
            args.append(Text(_unescape(arg[1])) if arg[1] is not None else arg[2].strip())
            at = arg.end() + len(", ")
        calls.append(Call(match[1], tuple(args), match[3]))
    return calls


_RELAY_CALL = re.compile(r"^([0-9a-f]+):Call (?:\w+)\.(\w+)\((.*)\) ret=([0-9a-f]+)$")
_RELAY_RET = re.compile(r"^([0-9a-f]+):Ret  (?:\w+)\.(\w+)\(\) retval=([0-9a-f]+) ret=([0-9a-f]+)$")


def read_relay_trace(text: str, image: range) -> List[Call]:
    """The calls made from the program's own image; Wine's start-up makes some of the same. A
    call that ends the process has no Ret line."""
    raw, pending = [], {}
    for line in text.splitlines():
        match = _RELAY_CALL.match(line)
        if match and match[2] in CALLS and int(match[4], 16) in image:
            if match[2] not in ENDS:
                pending[(match[1], match[2], match[4])] = len(raw)
            raw.append([match[2], _parse_args(match[3]), NO_RETURN if match[2] in ENDS else None])
            continue
        match = _RELAY_RET.match(line)
        if match and (match[1], match[2], match[4]) in pending:
            raw[pending.pop((match[1], match[2], match[4]))][2] = int(match[3], 16)
    unfinished = [r[0] for r in raw if r[2] is None]
    if unfinished:
        raise ValueError(f"calls that never returned: {unfinished}")
    return normalise([tuple(r) for r in raw])


_LOADED = re.compile(r'^([0-9a-f]+):trace:loaddll:\w+ Loaded L"(.*)" at [0-9A-Fa-f]+: \w+$')


def loaded_in_boxes(text: str, image: range) -> List[str]:
    """The DLLs that Wine's loaddll channel says the program's thread loaded while one of its
    message boxes was up, as Windows paths."""
    loaded, box = [], None
    for line in text.splitlines():
        call, ret, load = _RELAY_CALL.match(line), _RELAY_RET.match(line), _LOADED.match(line)
        if call and call[2] == "MessageBoxA" and int(call[4], 16) in image:
            box = (call[1], call[4])
        elif ret and ret[2] == "MessageBoxA" and (ret[1], ret[4]) == box:
            box = None
        elif load and box and load[1] == box[0]:
            loaded.append(_unescape(load[2]))
    return loaded


def messages(calls: List[Call]) -> List[str]:
    return [c.args[1].value for c in calls if c.name == "MessageBoxA"]


def changes(calls: List[Call]) -> List[Call]:
    """The calls that can change a file or show something, without the searches around them."""
    return [c for c in calls if c.name in ("SetFileAttributesA", "MoveFileA", "MessageBoxA")]


def first_difference(a: List[Call], b: List[Call]) -> Optional[str]:
    for i, (x, y) in enumerate(zip(a, b)):
        if not same(x, y):
            return f"call {i + 1}: {x}  versus  {y}"
    if len(a) != len(b):
        return f"{len(a)} calls versus {len(b)}"
    return None
