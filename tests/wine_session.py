"""Runs a Windows executable under Wine, as a player's machine would: the real registry, real
files through Z:, a real modal message box on an X server (Xvfb), dismissed with the Return key.

One WineSession is one fresh 64-bit prefix and one X server, made once and shared by every run of
one executable. A 64-bit executable runs under wine64; a 32-bit one under Wine's 32-bit loader in
the same kind of prefix, as on 64-bit Windows, where it reads the registry's 32-bit view.
"""
import contextlib
import os
import shutil
import struct
import subprocess
import tempfile
import time
from pathlib import Path
from typing import List, NamedTuple, Optional

import call_trace

WINE = "/usr/lib/wine/wine64"
WINE32 = "/usr/lib/wine/wine"  # from wine32:i386
WINESERVER = "/usr/lib/wine/wineserver64"
# The game's key in each view, as 64-bit tools name it; a 32-bit program sees Wow6432Node's as its
# own Software\KelvaneTarnwick.
KEYS = {64: r"HKEY_LOCAL_MACHINE\Software\KelvaneTarnwick",
        32: r"HKEY_LOCAL_MACHINE\Software\Wow6432Node\KelvaneTarnwick"}
RELAY_INCLUDE = ";".join(sorted(call_trace.CALLS))
# The box is a window named by its caption, a single space.
CAPTION_PATTERN = "^ $"
RUN_TIMEOUT = 60
# A box still on the screen this long after a Return gets another; it still counts once.
KEY_RETRY = 1.0


class WineRun(NamedTuple):
    exit_code: Optional[int]  # None: it had to be killed, or its trace could not be read (log)
    calls: List[call_trace.Call]
    boxes: int  # message boxes seen on the screen, each counted once however many keys it took
    keys: int  # Return keys sent
    log: str  # what went wrong with the run itself, if anything
    box_dlls: List[str]  # the DLLs loaded while a box was up (traced runs only)


class WineToolError(subprocess.CalledProcessError):
    """A Wine tool that failed, with the end of what Wine said on stderr."""

    def __str__(self) -> str:
        def tail(data: Optional[bytes]) -> str:
            return (data or b"").decode("latin-1", "replace").strip()[-2000:]
        if tail(self.stderr):
            return f"{super().__str__()} Its stderr ends: {tail(self.stderr)}"
        said = tail(self.output) or "(nothing)"
        return f"{super().__str__()} Nothing on stderr; its output ends: {said}"


def _optional_header(data: bytes) -> int:
    return struct.unpack_from("<I", data, 0x3C)[0] + 24


def _bits(data: bytes) -> int:
    return {0x10B: 32, 0x20B: 64}[struct.unpack_from("<H", data, _optional_header(data))[0]]


def image_bits(exe: Path) -> int:
    return _bits(exe.read_bytes())


def image_range(exe: Path) -> range:
    """Where the executable lies once loaded at its preferred base."""
    data = exe.read_bytes()
    optional = _optional_header(data)
    if _bits(data) == 64:
        base = struct.unpack_from("<Q", data, optional + 24)[0]
    else:
        base = struct.unpack_from("<I", data, optional + 28)[0]
    size = struct.unpack_from("<I", data, optional + 56)[0]
    return range(base, base + size)


def windows_path(path: Path) -> str:
    """The Unix path as a Windows program under Wine names it: through drive Z:, Wine's "/"."""
    return "Z:" + str(path).replace("/", "\\")


def missing_tools() -> str:
    """What this machine lacks to run any Windows program here, or "" when nothing."""
    missing = [tool for tool in (WINE, "Xvfb", "xdotool") if not shutil.which(tool)]
    return (f"{', '.join(missing)} missing: apt-get install wine64 xvfb xdotool, as "
            "scripts/test.sh does") if missing else ""


def runs_32bit_programs() -> str:
    """Why this machine cannot run the 32-bit executable under Wine, or "" when it can."""
    probe = Path(__file__).resolve().parent.parent / "scripts" / "runs-32bit.sh"
    if subprocess.run([probe], check=False).returncode == 1:
        return f"this kernel runs no 32-bit programs, as {probe} finds, so neither can Wine"
    if not os.path.exists(WINE32):
        return (f"{WINE32} is missing: install wine32:i386 (dpkg --add-architecture i386 && "
                "apt-get update && apt-get install wine32:i386), as scripts/test.sh does wherever "
                "the kernel runs 32-bit programs")
    try:
        subprocess.run([WINE32, "--version"], capture_output=True, check=True, timeout=30)
    except (OSError, subprocess.CalledProcessError) as error:
        return f"{WINE32} --version failed: {error}"
    return ""


def cannot_run(exe: Path, preset: str) -> str:
    """Why this machine cannot run the executable under Wine, or "" when it can."""
    if not exe.is_file():
        return (f"{exe} is missing; build it with `cmake --workflow --preset {preset}`, or run "
                "every leg with `cmake --workflow --preset all`")
    bits = image_bits(exe)
    why_not = missing_tools() or (runs_32bit_programs() if bits == 32 else "")
    return f"the {bits}-bit leg cannot run here: {why_not}" if why_not else ""


def _hex(data: bytes) -> str:
    return ",".join(f"{byte:02x}" for byte in data) or ""


REG_TYPES = {"REG_SZ": "hex(1)", "REG_EXPAND_SZ": "hex(2)", "REG_BINARY": "hex",
             "REG_MULTI_SZ": "hex(7)"}


def stored_data(kind: str, data: bytes) -> bytes:
    """What the registry stores for a value whose ANSI read, in the UTF-8 code page the program
    declares, gives `data`: strings are kept in UTF-16, binary data as it is."""
    return data if kind == "REG_BINARY" else data.decode("utf-8").encode("utf-16-le")


# What Wine's reg says, on its output, of a key that is not there.
MISSING_KEY = "reg: Unable to find the specified registry key"
EXPORT_TYPES = {"hex": "REG_BINARY", "hex(0)": "REG_NONE", "hex(1)": "REG_SZ",
                "hex(2)": "REG_EXPAND_SZ", "hex(4)": "REG_DWORD", "hex(7)": "REG_MULTI_SZ"}


def _unquote(text: str, start: int) -> tuple:
    """The string quoted at text[start], unescaped as Wine's export escapes it, and where it
    ends."""
    out, i = [], start + 1
    while text[i] != '"':
        if text[i] == "\\":
            i += 1
            out.append({"n": "\n", "r": "\r"}.get(text[i], text[i]))
        else:
            out.append(text[i])
        i += 1
    return "".join(out), i + 1


def parse_export(text: str) -> List[tuple]:
    """The values of an exported key, each as (name, type, data as stored). A string value is
    exported as its text, so one stored without its terminating zero, or with a zero inside,
    reads back as the text before that zero, terminated."""
    values = []
    for line in text.replace("\r\n", "\n").replace("\\\n  ", "").splitlines():
        if not line.startswith(('"', "@")):
            continue
        name, end = _unquote(line, 0) if line[0] == '"' else ("", 1)
        data = line[end + 1:]
        if data.startswith('"'):
            values.append((name, "REG_SZ", (_unquote(data, 0)[0] + "\0").encode("utf-16-le")))
        elif data.startswith("dword:"):
            values.append((name, "REG_DWORD", struct.pack("<I", int(data[6:], 16))))
        else:
            kind, _, digits = data.partition(":")
            values.append((name, EXPORT_TYPES.get(kind, kind),
                           bytes.fromhex(digits.replace(",", ""))))
    return sorted(values)


class WineSession:
    def __init__(self, bits: int = 64):
        self.bits = bits
        self.loader = WINE if bits == 64 else WINE32
        self.work = Path(tempfile.mkdtemp(prefix="kelvane-wine-"))
        # Wine writes outside its prefix: wineserver in $TMPDIR, its set-up in $HOME or where XDG's
        # variables say. Both point at the work folder, which close() removes; XDG's are dropped.
        self.env = {name: value for name, value in os.environ.items() if name[:4] != "XDG_"}
        self.env.update(WINEPREFIX=str(self.work / "prefix"), WINEARCH="win64", HOME=str(self.work),
                        TMPDIR=str(self.work), WINEDLLOVERRIDES="mscoree,mshtml=", WINEDEBUG="-all")
        self.xvfb = None
        self.keeper = None
        try:
            self._start_display()
            (self.work / "prefix").mkdir()
            # Kept alive between runs, so that each run does not pay for a new server and desktop.
            subprocess.run([WINESERVER, "-p"], env=self.env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
            self._wine("wineboot", "-i", timeout=120)
            # Unmanaged windows: Xvfb has no window manager, so a managed window never gets the
            # WM_STATE that Wine waits for when it hides one, and every box took 2 s more to go
            # after its Return ("wait_for_withdrawn_state ... wait timed out").
            self._regedit([r"[HKEY_CURRENT_USER\Software\Wine\Debug]",
                           f'"RelayInclude"="{RELAY_INCLUDE}"', "",
                           r"[HKEY_CURRENT_USER\Software\Wine\X11 Driver]", '"Managed"="N"'])
            # A program that waits on its input for the whole session keeps Wine's desktop
            # process alive. Without one, the desktop ended a second or two after each run, and
            # the next run's box waited for a new one, which often took 10 s to start.
            self.keeper = subprocess.Popen([WINE, "cmd"], env=self.env, stdin=subprocess.PIPE,
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except BaseException:
            self.close()
            raise

    def _start_display(self):
        read, write = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=[write], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as pipe:
            number = pipe.readline().strip()
        if not number:
            raise RuntimeError("Xvfb did not start")
        self.env["DISPLAY"] = f":{number}"

    def close(self):
        if self.keeper:
            self.keeper.kill()
            self.keeper.wait()
            self.keeper.stdin.close()
        if "WINEPREFIX" in self.env and (self.work / "prefix").exists():
            for command in ([WINESERVER, "-k"], [WINESERVER, "-w"]):
                subprocess.run(command, env=self.env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False,
                               timeout=30)
        if self.xvfb:
            self.xvfb.terminate()
            self.xvfb.wait()
        shutil.rmtree(self.work, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _wine(self, *args: str, timeout: int = 60, env: Optional[dict] = None) -> str:
        # Output through files, never a pipe: the server and the desktop process that Wine
        # leaves running would hold a pipe open, and whoever reads it would wait for ever.
        with tempfile.TemporaryFile(dir=self.work) as out, \
                tempfile.TemporaryFile(dir=self.work) as err:
            done = subprocess.run([WINE, *args],
                                  env=dict(self.env, WINEDEBUG="err+all", **(env or {})),
                                  stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                  timeout=timeout, check=False)
            out.seek(0)
            err.seek(0)
            if done.returncode != 0:
                raise WineToolError(done.returncode, args, out.read(), err.read())
            return out.read().decode("latin-1")

    def _regedit(self, lines: List[str]):
        # Version 5 files give string data in UTF-16, so any name can be stored.
        path = self.work / "import.reg"
        path.write_text("\r\n".join(["Windows Registry Editor Version 5.00", "", *lines, ""]),
                        encoding="utf-16")
        # Once, in one clean-clone run of the whole suite, regedit failed with exit code 1 in the
        # middle of a leg, and did not again in many runs since; an import is tried up to three
        # times before the leg fails. The runner reads back what was set after a scenario's runs.
        for attempt in range(3):
            try:
                self._wine("regedit", "/S", str(path))
                return
            except WineToolError as error:
                if attempt == 2:
                    raise RuntimeError(f"regedit failed three times; the last: {error}") from error

    def set_values(self, own: Optional[tuple], other: Optional[tuple] = None):
        """Deletes the game's key in both views; then sets its value in the program's own view
        and in the other one, each unless None."""
        lines = []
        for key, value in ((self._key(own=True), own), (self._key(own=False), other)):
            lines += [f"[-{key}]", ""]
            if value is not None:
                kind, data = value
                lines += [f"[{key}\\Directory]",
                          f'"Directory"={REG_TYPES[kind]}:{_hex(stored_data(kind, data))}', ""]
        self._regedit(lines)

    @contextlib.contextmanager
    def drive_z(self, root: Path):
        """Drive Z: leads to `root` instead of "/" inside the block, so that a run that reaches
        for the drive's root stays in a folder of the test's own. The program and its current
        folder must lie inside `root`; the registry tools, which name files through Z:, must
        run outside the block."""
        link, new = (self.work / "prefix" / "dosdevices" / name for name in ("z:", "z:.new"))

        def point(target: Path):  # in one step, so that Z: never names nothing
            os.symlink(target, new)
            os.replace(new, link)
        try:
            point(root)
            yield
        finally:
            point(Path("/"))

    def no_crash_dialog(self):
        """A program that crashes ends at once, with its backtrace on stderr, instead of waiting
        behind Wine's crash dialog."""
        self._regedit([r"[HKEY_CURRENT_USER\Software\Wine\WineDbg]", '"ShowCrashDialog"=dword:0'])

    def _key(self, own: bool) -> str:
        return KEYS[self.bits if own else 96 - self.bits]

    def _run_env(self, dll_overrides: str, traced: bool = False) -> dict:
        env = dict(self.env, WINEDEBUG="-all,+relay,+loaddll" if traced else "-all")
        if dll_overrides:
            env["WINEDLLOVERRIDES"] += ";" + dll_overrides
        return env

    def key_values(self, own: bool = True) -> Optional[List[tuple]]:
        """The values under the game's key in the program's own view or in the other one (see
        values)."""
        return self.values(self._key(own) + r"\Directory")

    def values(self, key: str) -> Optional[List[tuple]]:
        """The key's values, each as (name, type, data as stored), sorted, or None when there is
        no such key. Any other failure of the read raises WineToolError, with Wine's words."""
        path = self.work / "export.reg"
        try:
            # Wine's own words tell a missing key from other failures: in English, whatever the
            # machine's locale.
            self._wine("reg", "export", key, windows_path(path), "/y",
                       env={"LC_ALL": "C.UTF-8", "LANGUAGE": ""})
        except WineToolError as error:
            if error.returncode == 1 and MISSING_KEY in (error.output or b"").decode("latin-1"):
                return None
            raise
        values = parse_export(path.read_text(encoding="utf-16"))
        path.unlink()
        return values

    def run(self, exe: Path, cwd: Path, dll_overrides: str = "", traced: bool = True,
            lose_first_key: bool = False) -> WineRun:
        """Runs the program once, dismissing each message box it shows with Return. Untraced, it
        runs at full speed and returns no calls. lose_first_key drops the first Return on its
        way, as a key lost in transit: the harness's own check that a box is counted once
        however many keys it takes."""
        trace = self.work / "relay.log"
        image = image_range(exe)  # now: the program may move its own file away
        env = self._run_env(dll_overrides, traced)
        pressed = {}  # window id -> when it last got a Return
        keys, log = 0, []
        with open(trace, "wb") as err:
            process = subprocess.Popen([self.loader, str(exe)], env=env, cwd=cwd,
                                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                       stderr=err)
            deadline = time.monotonic() + RUN_TIMEOUT
            visible: List[str] = []
            while process.poll() is None and time.monotonic() < deadline:
                visible = self._visible_boxes()
                for window in visible:
                    if window not in pressed or time.monotonic() - pressed[window] >= KEY_RETRY:
                        if not (lose_first_key and keys == 0):
                            self._press_return()
                        pressed[window] = time.monotonic()
                        keys += 1
                time.sleep(0.02)
            if process.poll() is None:
                process.kill()
                log.append(f"a message box was still on the screen after {RUN_TIMEOUT} s and "
                           f"{keys} Return keys" if visible else f"killed after {RUN_TIMEOUT} s")
            exit_code = process.wait()
        text = trace.read_text(encoding="latin-1")
        try:
            calls = call_trace.read_relay_trace(text, image) if traced else []
        except ValueError as error:
            calls, log = [], log + [f"relay trace: {error}"]
        return WineRun(exit_code if not log else None, calls, len(pressed), keys, "; ".join(log),
                       call_trace.loaded_in_boxes(text, image))

    def _press_return(self):
        # Through the X server's own input (XTEST), to the window that has the focus: Wine gives
        # it to the box as it maps it, unmanaged. A key sent to the box's window as an event went
        # wherever Wine's foreground was at the time, and a key that came too early dismissed a
        # later run's box.
        subprocess.run(["xdotool", "key", "Return"], env=self.env, capture_output=True,
                       check=False)

    def planted_dll_runs(self, dll: Path, work: Path, dll_overrides: str,
                         names: List[str]) -> bool:
        """The control for a planted DLL: loaded on purpose by rundll32 under each of its names,
        with the overrides the run gets, does it leave its marker each time? If not, its absence
        after a run proves nothing."""
        control = work / "control"
        control.mkdir()
        for name in names:
            shutil.copy(dll, control / name)
            subprocess.run([self.loader, "rundll32", windows_path(control / name) + ",Control"],
                           env=self._run_env(dll_overrides), cwd=control,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=RUN_TIMEOUT, check=False)
            if not (control / "planted-dll-ran").exists():
                return False
            (control / "planted-dll-ran").unlink()
        return True

    def _visible_boxes(self) -> List[str]:
        return subprocess.run(["xdotool", "search", "--onlyvisible", "--name", CAPTION_PATTERN],
                              env=self.env, capture_output=True, text=True,
                              check=False).stdout.split()
