// Finding the entry a Windows path names on a POSIX file system, letter case folded (ASCII).
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

struct HostPath {
  std::string dir;   // a POSIX directory path: "/" or one without a trailing slash
  std::string name;  // the last component as the path spells it
};

std::string Join(const std::string& dir, const std::string& name);

char FoldCase(char c);

struct DirEntry {
  std::string name;
  unsigned char type;  // d_type, for when the entry is gone before it can be looked at
};

// Every entry but "." and "..", in the order the directory gives them. False if it can't be read
// to the end.
bool ListDirectory(const std::string& dir, std::vector<DirEntry>* entries);

// Where a Windows path leads: its text resolved by Win32's rules (path_rules.h), from the root
// every drive shares ("/", or $KELVANE_PATCH_DRIVE_ROOT where set), then each folder found as
// LookUpEntry finds a last component. From the first folder that can't be found on, the
// rest is kept as spelt, so that the lookup that follows fails. False where the text names nothing.
bool ToHostPath(const char* path, HostPath* out, bool bounded = true);

enum class Lookup { Found, Absent, Unknown };

// The entry a path's last component names: the exact name when it exists, else, from one listing
// of the directory, the first name in byte order that matches it with letter case folded. Fills
// *actual and *info (links not followed). Unknown when the directory could not be read to rule
// out a match.
Lookup LookUpEntry(const HostPath& path, std::string* actual, struct stat* info);
