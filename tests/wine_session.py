"""Runs the Windows executable under wine64, as a player's machine would: the real registry, real
files through Z:, a real modal message box on an X server (Xvfb), dismissed with the Return key.

One WineSession is one fresh 64-bit prefix and one X server, made once and shared by every run.
"""
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
WINESERVER = "/usr/lib/wine/wineserver64"
KEY = r"HKEY_LOCAL_MACHINE\Software\KelvaneTarnwick"
RELAY_INCLUDE = ";".join(sorted(call_trace.TRACED))
# The box is a window named by its caption, a single space.
CAPTION_PATTERN = "^ $"
RUN_TIMEOUT = 60


class WineRun(NamedTuple):
    exit_code: Optional[int]  # None: it had to be killed
    calls: List[call_trace.Call]
    boxes: int  # message boxes seen on the screen and dismissed
    log: str  # what went wrong with the run itself, if anything


def image_range(exe: Path) -> range:
    """Where the executable lies once loaded at its preferred base."""
    data = exe.read_bytes()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    optional = pe + 24
    if struct.unpack_from("<H", data, optional)[0] != 0x20B:
        raise ValueError(f"{exe} is not a 64-bit image; this machine runs only those under Wine")
    base = struct.unpack_from("<Q", data, optional + 24)[0]
    size = struct.unpack_from("<I", data, optional + 56)[0]
    return range(base, base + size)


def _hex(data: bytes) -> str:
    return ",".join(f"{byte:02x}" for byte in data) or ""


REG_TYPES = {"REG_SZ": "hex(1)", "REG_EXPAND_SZ": "hex(2)", "REG_BINARY": "hex",
             "REG_MULTI_SZ": "hex(7)"}


class WineSession:
    def __init__(self):
        self.work = Path(tempfile.mkdtemp(prefix="kelvane-wine-"))
        self.env = dict(os.environ, WINEPREFIX=str(self.work / "prefix"), WINEARCH="win64",
                        WINEDLLOVERRIDES="mscoree,mshtml=", WINEDEBUG="-all")
        self.xvfb = None
        try:
            self._start_display()
            (self.work / "prefix").mkdir()
            # Kept alive between runs, so that each run does not pay for a new server and desktop.
            subprocess.run([WINESERVER, "-p"], env=self.env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
            self._wine("wineboot", "-i", timeout=120)
            self._regedit([r"[HKEY_CURRENT_USER\Software\Wine\Debug]",
                           f'"RelayInclude"="{RELAY_INCLUDE}"'])
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

    def _wine(self, *args: str, timeout: int = 60) -> str:
        # Output through a file, never a pipe: the server and the desktop process that Wine
        # leaves running would hold a pipe open, and whoever reads it would wait for ever.
        with tempfile.TemporaryFile(dir=self.work) as out:
            subprocess.run([WINE, *args], env=self.env, stdin=subprocess.DEVNULL, stdout=out,
                           stderr=subprocess.DEVNULL, timeout=timeout, check=True)
            out.seek(0)
            return out.read().decode("latin-1")

    def _regedit(self, lines: List[str]):
        # REGEDIT4 takes string data as ANSI bytes, just what the program reads back.
        path = self.work / "import.reg"
        path.write_text("\r\n".join(["REGEDIT4", "", *lines, ""]), encoding="latin-1")
        self._wine("regedit", "/S", str(path))

    def set_value(self, value: Optional[tuple]):
        """Deletes the game's key; then sets its value, unless `value` is None."""
        lines = [f"[-{KEY}]", ""]
        if value is not None:
            kind, data = value
            lines += [f"[{KEY}\\Directory]", f'"Directory"={REG_TYPES[kind]}:{_hex(data)}']
        self._regedit(lines)

    def key_values(self) -> Optional[List[str]]:
        """The value names under the game's key, or None when there is no key."""
        try:
            out = self._wine("reg", "query", KEY + r"\Directory")
        except subprocess.CalledProcessError:
            return None
        return sorted(line.split()[0] for line in out.splitlines() if line.startswith("    "))

    def run(self, exe: Path, cwd: Path) -> WineRun:
        """Runs the program once, dismissing each message box it shows with Return."""
        trace = self.work / "relay.log"
        image = image_range(exe)  # now: the program may move its own file away
        env = dict(self.env, WINEDEBUG="-all,+relay")
        boxes, log = 0, []
        with open(trace, "wb") as err:
            process = subprocess.Popen([WINE, str(exe)], env=env, cwd=cwd,
                                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                       stderr=err)
            deadline = time.monotonic() + RUN_TIMEOUT
            while process.poll() is None and time.monotonic() < deadline:
                window = self._find_box()
                if window:
                    subprocess.run(["xdotool", "key", "--window", window, "Return"],
                                   env=self.env, capture_output=True, check=False)
                    boxes += 1
                    self._wait_gone(window, process)
            if process.poll() is None:
                process.kill()
                log.append(f"killed after {RUN_TIMEOUT} s")
            exit_code = process.wait()
        text = trace.read_text(encoding="latin-1")
        try:
            calls = call_trace.read_relay_trace(text, image)
        except ValueError as error:
            calls, log = [], log + [f"relay trace: {error}"]
        return WineRun(exit_code if not log else None, calls, boxes, "; ".join(log))

    def _visible_boxes(self) -> List[str]:
        return subprocess.run(["xdotool", "search", "--onlyvisible", "--name", CAPTION_PATTERN],
                              env=self.env, capture_output=True, text=True,
                              check=False).stdout.split()

    def _find_box(self) -> Optional[str]:
        windows = self._visible_boxes()
        if not windows:
            time.sleep(0.05)
        return windows[0] if windows else None

    def _wait_gone(self, window: str, process: subprocess.Popen):
        for _ in range(200):
            if process.poll() is not None or window not in self._visible_boxes():
                return
            time.sleep(0.05)
