#!/usr/bin/env python3
"""Checks scripts/release.sh: two clean runs give the same zip, byte for byte; the zip holds the
release and a players' README.txt that Notepad shows right; and a release signed with a throwaway
certificate verifies against it and gives back the unsigned build when the signature is removed.

Usage: check_release.py RELEASE_EXE   (the windows-x86 build; exit code 77: skipped)
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from scenarios import MISSING, NOT_INSTALLED, NOT_NEEDED, PATCHED  # noqa: E402
import skips  # noqa: E402

SOURCE = Path(__file__).resolve().parent.parent


EPOCH = "1700000000"  # the release's time, given, so that no git is needed to find it


def release(dist: Path, **env: str) -> dict:
    """Runs release.sh into dist, from a build directory of its own; the dist files by name."""
    env = dict(os.environ, SOURCE_DATE_EPOCH=EPOCH, **env)
    subprocess.run([SOURCE / "scripts/release.sh", "--dist", str(dist)], check=True, env=env,
                   stdout=subprocess.DEVNULL)
    return {path.name: path.read_bytes() for path in sorted(dist.iterdir())}


def sums_hold(dist: Path) -> bool:
    return subprocess.run(["sha256sum", "--quiet", "-c", "SHA256SUMS"], cwd=dist,
                          check=False).returncode == 0


def check_zip(data: bytes, exe: bytes, epoch: int, work: Path) -> list:
    path = work / "check.zip"
    path.write_bytes(data)
    problems = []
    with zipfile.ZipFile(path) as zipped:
        entries = zipped.infolist()
        if [e.filename for e in entries] != ["kelvane-patch.exe", "README.txt"]:
            return [f"zip holds {[e.filename for e in entries]}"]
        stamp = time.gmtime(epoch)[:5]
        for entry in entries:
            if entry.extra or entry.date_time[:5] != stamp or entry.create_system != 0:
                problems.append(f"{entry.filename}: extra {entry.extra!r}, time "
                                f"{entry.date_time}, system {entry.create_system}")
        if zipped.read("kelvane-patch.exe") != exe:
            problems.append("the zip's kelvane-patch.exe is not the one expected")
        text = zipped.read("README.txt")
    if not text.isascii() or text.count(b"\n") != text.count(b"\r\n") or b"\r\r" in text:
        problems.append("README.txt is not ASCII with CRLF line ends throughout")
    lines = text.decode("ascii", "replace").split("\r\n")
    problems += [f"README.txt line over 76 characters: {line!r}"
                 for line in lines if len(line) > 76]
    for message in (NOT_INSTALLED, NOT_NEEDED, PATCHED.strip(), MISSING):
        if f'"{message}"' not in " ".join(lines):
            problems.append(f"README.txt does not give the message {message!r}")
    return problems


def check_signing(unsigned: bytes, work: Path) -> list:
    def openssl(*args: str):
        subprocess.run(["openssl", *args], cwd=work, check=True, capture_output=True)

    for name in ("signer", "stranger"):
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                f"/CN=Throwaway {name}", "-keyout", f"{name}.key", "-out", f"{name}.pem")
    openssl("pkcs12", "-export", "-inkey", "signer.key", "-in", "signer.pem", "-out",
            "signer.p12", "-passout", "pass:not a secret")
    dist = release(work / "signed", KELVANE_SIGN_PKCS12=str(work / "signer.p12"),
                   KELVANE_SIGN_PASSWORD="not a secret")
    signed = work / "signed/kelvane-patch.exe"
    problems = []
    if set(dist) != {"SHA256SUMS", zip_name(dist), "kelvane-patch.exe",
                     "kelvane-patch-unsigned.exe"}:
        problems.append(f"signed release holds {sorted(dist)}")
    if dist.get("kelvane-patch-unsigned.exe") != unsigned or not sums_hold(work / "signed"):
        problems.append("SHA256SUMS does not list both the signed and the unsigned executable")
    with zipfile.ZipFile(work / "signed" / zip_name(dist)) as zipped:
        if zipped.read("kelvane-patch.exe") != signed.read_bytes():
            problems.append("the zip does not hold the signed executable")

    def verify(ca: str) -> bool:
        return subprocess.run(["osslsigncode", "verify", "-CAfile", str(work / ca), "-in",
                               str(signed)], capture_output=True, check=False).returncode == 0

    if not verify("signer.pem"):
        problems.append("osslsigncode verify rejects the signature against its certificate")
    if verify("stranger.pem"):
        problems.append("osslsigncode verify accepts the signature against another certificate")
    stripped = work / "stripped.exe"
    subprocess.run(["osslsigncode", "remove-signature", "-in", str(signed), "-out",
                    str(stripped)], check=True, capture_output=True)
    if signed.read_bytes() == unsigned or stripped.read_bytes() != unsigned:
        problems.append("removing the signature does not give back the unsigned build")
    return problems


def zip_name(dist: dict) -> str:
    return next(name for name in dist if name.endswith("-win32.zip"))


def main() -> int:
    exe = Path(sys.argv[1]).read_bytes()
    missing = [tool for tool in ("osslsigncode", "openssl", "sha256sum") if not shutil.which(tool)]
    if missing:
        return skips.skip(f"{', '.join(missing)} missing; scripts/test.sh installs them", None)
    with tempfile.TemporaryDirectory(prefix="kelvane-release-") as work_dir:
        work = Path(work_dir)
        first = release(work / "first")
        second = release(work / "second-elsewhere")
        problems = [] if first == second else ["two clean runs gave different files"]
        if set(first) != {zip_name(first), "kelvane-patch.exe", "SHA256SUMS"}:
            problems.append(f"release holds {sorted(first)}")
        if not sums_hold(work / "first"):
            problems.append("SHA256SUMS does not hold for the release's files")
        problems += check_zip(first[zip_name(first)], exe, int(EPOCH), work)
        problems += check_signing(exe, work)
        print(f"zip: {len(first[zip_name(first)]):,} bytes, the same from two clean runs")
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
