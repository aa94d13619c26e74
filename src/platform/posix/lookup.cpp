// Finding the entry a Windows path names on a POSIX file system (see lookup.h).
#include "platform/posix/lookup.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/posix/path_rules.h"

std::string Join(const std::string& dir, const std::string& name) {
  return dir == "/" ? "/" + name : dir + "/" + name;
}

char FoldCase(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool ListDirectory(const std::string& dir, std::vector<DirEntry>* entries) {
  DIR* stream = opendir(dir.c_str());
  if (stream == nullptr) {
    return false;
  }
  errno = 0;
  // cppcheck-suppress readdirCalled ; readdir_r is deprecated, and this stream is never shared
  while (const dirent* entry = readdir(stream)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      entries->push_back({entry->d_name, entry->d_type});
    }
  }
  const bool complete = errno == 0;
  (void)closedir(stream);
  return complete;
}

namespace {

bool SameFolded(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return FoldCase(x) == FoldCase(y);
         });
}

}  // namespace

Lookup LookUpEntry(const HostPath& path, std::string* actual, struct stat* info) {
  if (lstat(Join(path.dir, path.name).c_str(), info) == 0) {
    *actual = path.name;
    return Lookup::Found;
  }
  if (errno != ENOENT) {
    return Lookup::Unknown;
  }
  std::vector<DirEntry> entries;
  if (!ListDirectory(path.dir, &entries)) {
    return Lookup::Unknown;
  }
  std::vector<std::string> matches;
  for (DirEntry& entry : entries) {
    if (SameFolded(entry.name, path.name)) {
      matches.push_back(std::move(entry.name));
    }
  }
  std::sort(matches.begin(), matches.end());
  for (const std::string& name : matches) {
    if (lstat(Join(path.dir, name).c_str(), info) == 0) {
      *actual = name;
      return Lookup::Found;
    }
    if (errno != ENOENT) {
      return Lookup::Unknown;
    }
  }
  return Lookup::Absent;
}

namespace {

// Every drive's root, as a Wine prefix's Z: is "/": that, or the folder KELVANE_PATCH_DRIVE_ROOT
// names, so that a test can keep a run that reaches for a drive's root inside a folder of its own.
std::string DriveRoot() {
  const char* named = std::getenv("KELVANE_PATCH_DRIVE_ROOT");
  if (named == nullptr || *named == '\0') {
    return "/";
  }
  char real[PATH_MAX];
  return realpath(named, real) != nullptr ? real : named;  // one that is not there finds nothing
}

// The current directory as seen from the drive's root: empty, so that a relative path names
// nothing, where it is gone or lies outside that root.
std::string CurrentDirectory(const std::string& root) {
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr) {
    return "";
  }
  std::string path = cwd;
  if (root == "/") {
    return path;
  }
  if (path == root) {
    return "/";
  }
  return path.rfind(root + "/", 0) == 0 ? path.substr(root.size()) : "";
}

}  // namespace

bool ToHostPath(const char* path, HostPath* out, bool bounded) {
  const std::string root = DriveRoot();
  std::vector<std::string> components;
  if (path == nullptr || !ParseWindowsPath(path, CurrentDirectory(root), bounded, &components)) {
    return false;
  }
  out->name = std::move(components.back());
  components.pop_back();
  std::string dir = root;
  bool found = true;
  for (const std::string& component : components) {
    std::string actual = component;
    struct stat info {};
    found = found && LookUpEntry({dir, component}, &actual, &info) == Lookup::Found;
    dir = Join(dir, found ? actual : component);
  }
  out->dir = std::move(dir);
  return true;
}
