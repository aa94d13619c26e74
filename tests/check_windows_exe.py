#!/usr/bin/env python3
"""Checks a built kelvane-patch.exe: what it imports, the resources embedded in it, its size.

  imports   --objdump OBJDUMP EXE   only the four system DLLs, each of the nine calls from its own
  resources --version V --arch A EXE  the manifest and the version block, read back from the file
  size      --max BYTES EXE           no larger than that
"""
import argparse
import struct
import subprocess
import sys
import xml.etree.ElementTree as ElementTree
from pathlib import Path

EXPECTED_IMPORTS = {
    "ADVAPI32.DLL": {"RegCreateKeyExA", "RegQueryValueExA", "RegCloseKey"},
    # SetDllDirectoryA is the start-up's own: it shows that the DLL search restriction was linked.
    "KERNEL32.DLL": {"FindFirstFileA", "FindNextFileA", "FindClose", "SetFileAttributesA",
                     "MoveFileA", "SetDllDirectoryA"},
    "MSVCRT.DLL": set(),
    "USER32.DLL": {"MessageBoxA"},
}

SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Vista
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # 10 and 11
}

# The one dependency, as Microsoft's "Enabling Visual Styles" gives it: version 6 of the common
# controls, so that the message box is drawn in the player's visual style.
COMMON_CONTROLS = {"type": "win32", "name": "Microsoft.Windows.Common-Controls",
                   "version": "6.0.0.0", "processorArchitecture": "*",
                   "publicKeyToken": "6595b64144ccf1df", "language": "*"}

RT_VERSION, RT_MANIFEST = 16, 24
GUI_SUBSYSTEM = 2


def read_imports(objdump: str, exe: Path) -> dict:
    """DLL name (upper case) -> names imported from it, as objdump -p lists them."""
    text = subprocess.run([objdump, "-p", str(exe)], check=True, capture_output=True,
                          text=True).stdout
    imports, current = {}, None
    for line in text.splitlines():
        if line.strip().startswith("DLL Name:"):
            current = imports.setdefault(line.split(":", 1)[1].strip().upper(), set())
        elif current is not None and line.startswith("\t") and len(line.split()) == 3:
            vma, hint, name = line.split()
            if vma != "vma:" and hint.isdigit():
                current.add(name)
        elif not line.strip():
            current = None
    return imports


def check_imports(args) -> list:
    imports = read_imports(args.objdump, args.exe)
    problems = []
    if set(imports) != set(EXPECTED_IMPORTS):
        problems.append(f"imports from {sorted(imports)}, expected {sorted(EXPECTED_IMPORTS)}")
    for dll, names in EXPECTED_IMPORTS.items():
        if not names <= imports.get(dll, set()):
            problems.append(f"{dll} lacks {sorted(names - imports.get(dll, set()))}")
    return problems


class PeImage:
    """Just enough of the PE format to reach the resource tree."""

    def __init__(self, data: bytes):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE image")
        sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        self.subsystem = struct.unpack_from("<H", data, optional + 68)[0]
        directories = optional + (96 if magic == 0x10B else 112)
        self.resource_rva = struct.unpack_from("<I", data, directories + 2 * 8)[0]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            size, rva, raw_size, raw = struct.unpack_from("<IIII", data, table + 40 * i + 8)
            self.sections.append((rva, max(size, raw_size), raw))

    def offset(self, rva: int) -> int:
        for start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError(f"RVA {rva:#x} lies in no section")

    def resource(self, kind: int, ident: int) -> bytes:
        """The data of the first language of resource (kind, ident)."""
        base = self.offset(self.resource_rva)

        def child(directory: int, wanted) -> int:
            named, numbered = struct.unpack_from("<12xHH", self.data, base + directory)
            for i in range(named + numbered):
                name, target = struct.unpack_from("<II", self.data, base + directory + 16 + 8 * i)
                if wanted is None or (not name & 0x80000000 and name == wanted):
                    return target
            raise KeyError(f"resource {kind}/{ident} not found")

        language = child(child(child(0, kind) & 0x7FFFFFFF, ident) & 0x7FFFFFFF, None)
        rva, size = struct.unpack_from("<II", self.data, base + language)
        return self.data[self.offset(rva):self.offset(rva) + size]


def parse_version_node(data: bytes, at: int = 0):
    """One node of a VS_VERSIONINFO tree: (key, value bytes, children)."""
    length, value_length, kind = struct.unpack_from("<HHH", data, at)
    end_of_key = at + 6
    while data[end_of_key:end_of_key + 2] != b"\0\0":
        end_of_key += 2
    key = data[at + 6:end_of_key].decode("utf-16-le")
    value_at = (end_of_key + 2 + 3) & ~3
    value_size = value_length * 2 if kind == 1 else value_length
    value = data[value_at:value_at + value_size]
    children, child_at = [], (value_at + value_size + 3) & ~3
    while child_at < at + length:
        children.append(parse_version_node(data, child_at))
        child_length = struct.unpack_from("<H", data, child_at)[0]
        if child_length == 0:
            break
        child_at = (child_at + child_length + 3) & ~3
    return key, value, children


def version_strings(block: bytes):
    """(file version, product version, {name: string}) of a VS_VERSIONINFO resource."""
    key, fixed, children = parse_version_node(block)
    if key != "VS_VERSION_INFO" or struct.unpack_from("<I", fixed)[0] != 0xFEEF04BD:
        raise ValueError("no VS_FIXEDFILEINFO")
    ms, ls, pms, pls = struct.unpack_from("<4I", fixed, 8)

    def dotted(high, low):
        return f"{high >> 16}.{high & 0xFFFF}.{low >> 16}.{low & 0xFFFF}"

    strings = {}
    for child_key, _, tables in children:
        if child_key == "StringFileInfo":
            for _, _, entries in tables:
                for name, value, _ in entries:
                    strings[name] = value.decode("utf-16-le").rstrip("\0")
    return dotted(ms, ls), dotted(pms, pls), strings


def check_manifest(text: str, arch: str, quad: str) -> list:
    problems = []
    root = ElementTree.fromstring(text)

    def find_all(local_name):
        return [e for e in root.iter() if e.tag.split("}")[-1] == local_name]

    levels = [(e.get("level"), e.get("uiAccess")) for e in find_all("requestedExecutionLevel")]
    if levels != [("requireAdministrator", "false")]:
        problems.append(f"execution level {levels}")
    systems = {e.get("Id") for e in find_all("supportedOS")}
    if systems != SUPPORTED_OS:
        problems.append(f"supported OS {sorted(systems)}")
    if [e.text for e in find_all("dpiAware")] != ["true/pm"] or not any(
            "PerMonitorV2" in (e.text or "") for e in find_all("dpiAwareness")):
        problems.append("not declared DPI aware")
    code_pages = [(e.tag, e.text) for e in find_all("activeCodePage")]
    if code_pages != [("{http://schemas.microsoft.com/SMI/2019/WindowsSettings}activeCodePage",
                       "UTF-8")]:
        problems.append(f"active code page {code_pages}, not UTF-8")
    dependencies = [e.attrib for d in find_all("dependentAssembly") for e in d
                    if e.tag.split("}")[-1] == "assemblyIdentity"]
    if dependencies != [COMMON_CONTROLS]:
        problems.append(f"dependencies {dependencies}, expected {[COMMON_CONTROLS]}")
    identity = find_all("assemblyIdentity")
    if not identity or (identity[0].get("processorArchitecture"),
                        identity[0].get("version")) != (arch, quad):
        problems.append(f"assembly identity {[e.attrib for e in identity]}")
    return problems


def check_resources(args) -> list:
    image = PeImage(args.exe.read_bytes())
    quad = args.version + ".0" * (3 - args.version.count("."))
    problems = []
    if image.subsystem != GUI_SUBSYSTEM:
        problems.append(f"subsystem {image.subsystem}, not the GUI")
    problems += check_manifest(image.resource(RT_MANIFEST, 1).decode("utf-8"), args.arch, quad)
    file_version, product_version, strings = version_strings(image.resource(RT_VERSION, 1))
    if (file_version, product_version) != (quad, quad):
        problems.append(f"fixed versions {file_version}, {product_version}, expected {quad}")
    expected = {"ProductName": "Kelvane DVD Patch", "FileVersion": args.version,
                "ProductVersion": args.version, "OriginalFilename": "kelvane-patch.exe"}
    for name, value in expected.items():
        if strings.get(name) != value:
            problems.append(f"{name} is {strings.get(name)!r}, expected {value!r}")
    if not strings.get("FileDescription"):
        problems.append("no FileDescription")
    return problems


def check_size(args) -> list:
    size = args.exe.stat().st_size
    print(f"{args.exe}: {size:,} bytes, at most {args.max:,} allowed")
    return [f"{size:,} bytes is over the bound"] if size > args.max else []


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    imports = commands.add_parser("imports")
    imports.add_argument("--objdump", required=True)
    resources = commands.add_parser("resources")
    resources.add_argument("--version", required=True)
    resources.add_argument("--arch", required=True, choices=["x86", "amd64"])
    size = commands.add_parser("size")
    size.add_argument("--max", type=int, required=True)
    for command in (imports, resources, size):
        command.add_argument("exe", type=Path)
    args = parser.parse_args()
    problems = {"imports": check_imports, "resources": check_resources,
                "size": check_size}[args.command](args)
    for problem in problems:
        print(f"{args.exe}: {problem}")
    if not problems:
        print(f"{args.exe}: {args.command} as expected")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
