#include "patch/relocation.h"

#include <cstring>
#include <string>

#include "patch/patch_main.h"

namespace {

// A search can hand out a name that no path can spell back, and such a name is left alone, as a
// name that begins with a dot is:
// - Under a legacy ANSI code page Windows maps characters it cannot represent to look-alikes, so a
//   full-width reverse solidus arrives as '\' and the name turns into a path that climbs out of
//   the parent. No file may hold any of \ / : * ? " < > | or a control character.
// - Win32 drops trailing dots and spaces from the last component of a path, so "mesh.pak " is a
//   name NTFS can hold but "<parent>\mesh.pak " names "<parent>\mesh.pak", another entry, which
//   would be made writable, or moved, in its place.
bool IsMovableName(const std::string& name) {
  if (name.empty() || name[0] == '.' || name.back() == '.' || name.back() == ' ') {
    return false;
  }
  for (const char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || std::strchr("\\/:*?\"<>|", c) != nullptr) {
      return false;
    }
  }
  return true;
}

void RelocateEntry(const std::string& name) {
  std::string source = ParentPrefix;
  source += name;
  const std::string target = MemberPath(name.c_str());
  // Files copied from the disc arrive read-only. Both ends are made writable before the move, and
  // stay so whatever the move then does.
  (void)SetFileAttributesA(source.c_str(), FILE_ATTRIBUTE_NORMAL);
  (void)SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);
  (void)MoveFileA(source.c_str(), target.c_str());
}

}  // namespace

void RelocateMisplaced(const char* pattern) {
  std::string search = ParentPrefix;
  search += pattern;
  WIN32_FIND_DATAA found;
  const HANDLE handle = FindFirstFileA(search.c_str(), &found);
  if (handle == INVALID_HANDLE_VALUE) {
    return;
  }
  // Each entry moves as soon as the search returns it: the search keeps its place even as the
  // directory it walks empties.
  do {
    const std::string name = BoundedText(found.cFileName, sizeof found.cFileName);
    if (IsMovableName(name)) {
      RelocateEntry(name);
    }
  } while (FindNextFileA(handle, &found) != FALSE);
  (void)FindClose(handle);
}
