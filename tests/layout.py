"""Lays a scenario out on disk and reads it back: its tree under a root, and its registry value
with the root's Windows path in place of {install} and {root}. Shared by the scenario runner and
the out-of-memory sweep."""
import os
import shutil
import stat
from pathlib import Path
from typing import Optional

from scenarios import PROGRAM, Entry, Tree
from wine_session import windows_path


def build_tree(root: Path, tree: Tree, stand_ins: dict) -> None:
    """Lays the tree out; entries in stand_ins (the program, the planted DLL) get its bytes."""
    for relative, entry in sorted(tree.items()):
        path = root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        if entry.kind == "d":
            path.mkdir(exist_ok=True)
        elif entry.kind == "l":
            os.symlink(entry.content, path)
        else:
            path.write_bytes(stand_ins.get(entry, entry.content))
            if entry == PROGRAM:
                path.chmod(0o755)
    # Every entry is made before any is closed, so that a read-only directory is filled first.
    for relative, entry in sorted(tree.items(), reverse=True):
        if entry.readonly:
            path = root / relative
            path.chmod(path.stat().st_mode & ~stat.S_IWUSR)


def read_tree(root: Path, stand_ins: dict) -> Tree:
    tree: Tree = {}
    placeholder = {content: entry for entry, content in stand_ins.items()}
    for directory, dirs, files in os.walk(root):
        for name in dirs + files:
            path = Path(directory) / name
            info = path.lstat()
            relative = str(path.relative_to(root))
            readonly = not info.st_mode & stat.S_IWUSR
            if stat.S_ISLNK(info.st_mode):
                tree[relative] = Entry("l", os.readlink(path).encode())
            elif stat.S_ISDIR(info.st_mode):
                tree[relative] = Entry("d", b"", readonly)
            else:
                content = path.read_bytes()
                tree[relative] = placeholder.get(content, Entry("f", content, readonly))
    return tree


def remove_tree(path: Path) -> None:
    for directory, dirs, _ in os.walk(path):  # let the removal into read-only directories
        for name in dirs:
            if not (Path(directory) / name).is_symlink():
                (Path(directory) / name).chmod(0o755)
    shutil.rmtree(path)


def value_bytes(value: Optional[tuple], root: Path) -> Optional[tuple]:
    if value is None:
        return None
    kind, data = value
    data = data.replace(b"{install}", windows_path(root / "Games/Demo").encode())
    return kind, data.replace(b"{root}", windows_path(root).encode())


def tree_diff(expected: Tree, actual: Tree) -> str:
    lines = []
    for path in sorted(set(expected) | set(actual)):
        if expected.get(path) != actual.get(path):
            lines.append(f"      {path}: expected {expected.get(path)}, found {actual.get(path)}")
    return "\n".join(lines)
