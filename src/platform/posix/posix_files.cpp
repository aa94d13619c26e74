// Win32 file searches, attributes and moves over a POSIX file system.
//
// Paths are Windows paths, resolved by their text as Win32 resolves them (see ToHostPath), then
// looked up case-insensitively (ASCII) in every component, the exact name first. A drive letter
// stands for "/".
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/posix/posix_internal.h"

namespace {

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

char FoldCase(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool HasWildcard(const std::string& name) {
  return name.find_first_of("*?") != std::string::npos;
}

// '*' matches any run, the empty one included; '?' matches one byte; the rest compare folded.
// Backtracks only to the latest '*', so the cost stays linear in practice.
bool MatchesPattern(const std::string& pattern, const std::string& name) {
  std::size_t p = 0;
  std::size_t n = 0;
  std::size_t starP = std::string::npos;
  std::size_t starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (p < pattern.size() &&
               (pattern[p] == '?' || FoldCase(pattern[p]) == FoldCase(name[n]))) {
      ++p;
      ++n;
    } else if (starP != std::string::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') {
    ++p;
  }
  return p == pattern.size();
}

// A name no Windows path could spell is never handed out: the caller could not name it back, and
// would reach some other entry instead.
bool IsAddressable(const std::string& name) {
  return std::none_of(name.begin(), name.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || std::strchr("\\/:*?\"<>|", c) != nullptr;
  });
}

struct HostPath {
  std::string dir;   // a POSIX directory path: "/" or "." or one without a trailing slash
  std::string name;  // the last component as written; empty when the path ends in a separator
};

std::string Join(const std::string& dir, const std::string& name) {
  return dir == "/" ? "/" + name : dir + "/" + name;
}

struct DirEntry {
  std::string name;
  unsigned char type;  // d_type, for when the entry is gone before it can be looked at
};

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

enum class Lookup { Found, Absent, Unknown };

std::string Folded(const std::string& name) {
  std::string folded = name;
  std::transform(folded.begin(), folded.end(), folded.begin(), FoldCase);
  return folded;
}

// The names of one directory by their folded form, so that a name not found under its exact case
// costs no directory scan. Built from one listing the first time it is needed, then kept up to
// date by this process's own moves. Changes others make meanwhile are not seen; the index only
// ever proposes which other-case name to try, and everything that could lose data is left to the
// file system itself (a rename that never replaces, a mode change that never follows a link).
using DirIndex = std::unordered_map<std::string, std::set<std::string>>;
std::map<std::string, DirIndex> Indexes;

void IndexNames(const std::string& dir, const std::vector<DirEntry>& entries) {
  DirIndex& index = Indexes[dir];
  index.clear();
  for (const DirEntry& entry : entries) {
    index[Folded(entry.name)].insert(entry.name);
  }
}

const DirIndex* IndexOf(const std::string& dir) {
  const auto found = Indexes.find(dir);
  if (found != Indexes.end()) {
    return &found->second;
  }
  std::vector<DirEntry> entries;
  if (!ListDirectory(dir, &entries)) {
    return nullptr;
  }
  IndexNames(dir, entries);
  return &Indexes[dir];
}

void NoteRemoved(const std::string& dir, const std::string& name) {
  const auto index = Indexes.find(dir);
  if (index == Indexes.end()) {
    return;
  }
  const auto names = index->second.find(Folded(name));
  if (names != index->second.end()) {
    names->second.erase(name);
    if (names->second.empty()) {
      index->second.erase(names);
    }
  }
}

void NoteAdded(const std::string& dir, const std::string& name) {
  const auto index = Indexes.find(dir);
  if (index != Indexes.end()) {
    index->second[Folded(name)].insert(name);
  }
}

// The on-disk name for a path's last component: the exact name when it exists, else the first
// case-insensitive match in byte order. Fills *info with the entry itself, links not followed.
// Unknown when the directory could not be read to rule out a match.
Lookup LookUpEntry(const HostPath& path, std::string* actual, struct stat* info) {
  if (lstat(Join(path.dir, path.name).c_str(), info) == 0) {
    *actual = path.name;
    return Lookup::Found;
  }
  if (errno != ENOENT) {
    return Lookup::Unknown;
  }
  const DirIndex* index = IndexOf(path.dir);
  if (index == nullptr) {
    return Lookup::Unknown;
  }
  const auto names = index->find(Folded(path.name));
  if (names == index->end()) {
    return Lookup::Absent;
  }
  for (const std::string& name : std::set<std::string>(names->second)) {
    if (lstat(Join(path.dir, name).c_str(), info) == 0) {
      *actual = name;
      return Lookup::Found;
    }
    if (errno != ENOENT) {
      return Lookup::Unknown;
    }
    NoteRemoved(path.dir, name);  // gone since the index was made
  }
  return Lookup::Absent;
}

bool ResolveEntry(const HostPath& path, std::string* actual, struct stat* info) {
  return LookUpEntry(path, actual, info) == Lookup::Found;
}

// Where a directory written in any letter case is on disk, by the directory as written; kept
// only when every component was found, and forgotten whenever a directory moves.
std::map<std::string, std::string> ActualDirs;

// The directory on disk for absolute components as written: each component found as the last one
// of a path is (LookUpEntry). From the first component that can't be found on, the rest is kept
// as written, so the lookup that follows fails.
std::string ActualDirectory(const std::vector<std::string>& components) {
  std::string written = "/";
  for (const std::string& component : components) {
    written = Join(written, component);
  }
  const auto known = ActualDirs.find(written);
  if (known != ActualDirs.end()) {
    return known->second;
  }
  std::string dir = "/";
  for (std::size_t i = 0; i < components.size(); ++i) {
    std::string actual;
    struct stat info {};
    if (LookUpEntry({dir, components[i]}, &actual, &info) != Lookup::Found) {
      for (; i < components.size(); ++i) {
        dir = Join(dir, components[i]);
      }
      return dir;
    }
    dir = Join(dir, actual);
  }
  ActualDirs[written] = dir;
  return dir;
}

// A moved directory takes the directories below it along: where they were is no longer known.
void ForgetDirectoriesUnder(const std::string& moved) {
  for (auto known = ActualDirs.begin(); known != ActualDirs.end();) {
    const std::string& dir = known->second;
    const bool under = dir.compare(0, moved.size(), moved) == 0 &&
                       (dir.size() == moved.size() || dir[moved.size()] == '/');
    known = under ? ActualDirs.erase(known) : std::next(known);
  }
}

// Win32 resolves a narrow path by its text before it looks anything up, and so does this:
// - separators are '\' and '/', and a run of them is one;
// - "X:\..." and "\..." start at the root ("/"), "X:relative" and "relative" at the current
//   directory, a UNC path ("\\server\share") names nothing here;
// - "." is dropped and ".." drops the component before it, if any, whether or not that exists;
// - a component that ends in a dot loses that one dot, and the last component loses all its
//   trailing dots and spaces (a space inside the path stays);
// - "\\?\X:\..." is taken as written: '\' alone separates, and "." or ".." is no name.
// Then each directory is found case-insensitively. Fails for a null path, one longer than
// MAX_PATH bytes when `bounded`, and one whose last component is empty. The ANSI calls convert a
// path into the thread's buffer of MAX_PATH characters and a terminator, so a longer one fails
// before it reaches the file system. MoveFileA alone converts its new path into a buffer of its
// own, with no such bound.
bool ToHostPath(LPCSTR path, HostPath* out, bool bounded = true) {
  if (path == nullptr) {
    return false;
  }
  const std::string text(path);
  if (bounded && text.size() > MAX_PATH) {
    return false;
  }
  const auto drive = [&text](std::size_t at) {
    const char letter = FoldCase(at < text.size() ? text[at] : '\0');
    return text.size() >= at + 2 && letter >= 'a' && letter <= 'z' && text[at + 1] == ':';
  };
  std::vector<std::string> components;
  const bool literal = text.rfind("\\\\?\\", 0) == 0;
  std::size_t start = 0;
  if (literal) {
    if (!drive(4) || text.size() < 7 || text[6] != '\\') {
      return false;
    }
    start = 7;
  } else if (text.size() >= 2 && IsSeparator(text[0]) && IsSeparator(text[1])) {
    return false;  // UNC: no network here
  } else if (drive(0) && text.size() > 2 && IsSeparator(text[2])) {
    start = 3;
  } else if (!text.empty() && IsSeparator(text[0])) {
    start = 1;
  } else {
    start = drive(0) ? 2 : 0;
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
      return false;
    }
    for (const char* c = cwd; *c != '\0';) {  // the current directory's own names, as they are
      const char* end = std::strchr(c + 1, '/');
      end = end != nullptr ? end : c + std::strlen(c);
      if (end > c + 1) {
        components.emplace_back(c + 1, end);
      }
      c = end;
    }
  }
  std::string current;
  for (std::size_t i = start; i <= text.size(); ++i) {
    const bool last = i == text.size();
    if (!last && !(literal ? text[i] == '\\' : IsSeparator(text[i]))) {
      current += text[i];
      continue;
    }
    if (literal) {
      if (current.empty()
              ? !last
              : current == "." || current == ".." || current.find('/') != std::string::npos) {
        return false;
      }
    } else if (current == "..") {
      if (!components.empty()) {
        components.pop_back();
      }
      current.clear();
      continue;
    } else if (current == ".") {
      current.clear();
      continue;
    } else if (last) {
      current.erase(current.find_last_not_of(". ") + 1);
    } else if (!current.empty() && current.back() == '.') {
      current.pop_back();
    }
    if (!current.empty()) {
      components.push_back(std::move(current));
    }
    current.clear();
  }
  // A path that ends in a separator names a directory by itself, which no call here takes.
  if (components.empty() || (literal ? text.back() == '\\' : IsSeparator(text.back()))) {
    return false;
  }
  out->name = std::move(components.back());
  components.pop_back();
  out->dir = ActualDirectory(components);
  return true;
}

DWORD AttributesOf(const struct stat& info) {
  if (S_ISLNK(info.st_mode)) {
    return FILE_ATTRIBUTE_REPARSE_POINT;
  }
  DWORD attributes = S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : 0;
  if ((info.st_mode & S_IWUSR) == 0) {
    attributes |= FILE_ATTRIBUTE_READONLY;
  }
  return attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
}

DWORD AttributesOf(unsigned char type) {
  if (type == DT_LNK) {
    return FILE_ATTRIBUTE_REPARSE_POINT;
  }
  return type == DT_DIR ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
}

void FillFindData(const std::string& name, DWORD attributes, std::uint64_t size,
                  LPWIN32_FIND_DATAA data) {
  std::memset(data, 0, sizeof *data);
  data->dwFileAttributes = attributes;
  data->nFileSizeHigh = static_cast<DWORD>(size >> 32U);
  data->nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFU);
  static_assert(NAME_MAX < MAX_PATH, "every POSIX name fits cFileName");
  std::memcpy(data->cFileName, name.c_str(), name.size() + 1);
}

// A search hands out the matches it listed when it started, so that entries moved out of the
// directory meanwhile are neither skipped nor handed out twice.
struct Search {
  std::string dir;
  std::vector<DirEntry> matches;
  std::size_t next = 0;
};

// Handles are serial numbers, never reused, so a stale or forged handle is refused, not followed.
std::map<std::uintptr_t, Search> OpenSearches;
std::uintptr_t LastSearchId = 0;

Search* FindSearch(HANDLE handle) {
  const auto found = OpenSearches.find(reinterpret_cast<std::uintptr_t>(handle));
  return found == OpenSearches.end() ? nullptr : &found->second;
}

// The entry a search handed out last, as it was looked up then. A caller that makes it writable
// next, as the patch does, needs no second look when it already is. Forgotten at any change.
struct HandedOut {
  // cppcheck-suppress unusedStructMember ; read through the optional below, which cppcheck misses
  std::string path;
  // cppcheck-suppress unusedStructMember ; as above
  struct stat info;
};
std::optional<HandedOut> LastHandedOut;

// Looks each entry up as it is handed out; one already gone keeps what the listing said of it.
bool HandOutNext(Search* search, LPWIN32_FIND_DATAA data) {
  LastHandedOut.reset();
  if (search->next >= search->matches.size()) {
    return false;
  }
  const DirEntry& entry = search->matches[search->next++];
  const std::string path = Join(search->dir, entry.name);
  struct stat info {};
  if (lstat(path.c_str(), &info) == 0) {
    FillFindData(entry.name, AttributesOf(info), static_cast<std::uint64_t>(info.st_size), data);
    LastHandedOut = HandedOut{path, info};
  } else {
    FillFindData(entry.name, AttributesOf(entry.type), 0, data);
  }
  return true;
}

bool SameDirectory(const std::string& a, const std::string& b) {
  struct stat first {};
  struct stat second {};
  return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

// Changes the mode of an entry that was seen not to be a link, never following one should it have
// become a link since. glibc's fchmodat(AT_SYMLINK_NOFOLLOW) reaches the entry through
// /proc/self/fd and says EOPNOTSUPP where /proc is missing, as in a minimal chroot; there a
// descriptor opened with O_NOFOLLOW does the same. Only files and directories are opened that way,
// since opening a device or a FIFO can do things of its own, and only the entry that was seen.
bool ChangeModeNoFollow(const std::string& path, const struct stat& seen, mode_t mode) {
  if (fchmodat(AT_FDCWD, path.c_str(), mode, AT_SYMLINK_NOFOLLOW) == 0) {
    return true;
  }
  if (errno != EOPNOTSUPP || !(S_ISREG(seen.st_mode) || S_ISDIR(seen.st_mode))) {
    return false;
  }
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  struct stat now {};
  const bool changed = fstat(fd, &now) == 0 && now.st_dev == seen.st_dev &&
                       now.st_ino == seen.st_ino && fchmod(fd, mode) == 0;
  (void)close(fd);
  return changed;
}

}  // namespace

HANDLE RealFindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData) {
  HostPath path;
  if (lpFindFileData == nullptr || !ToHostPath(lpFileName, &path)) {
    return INVALID_HANDLE_VALUE;
  }
  Search search;
  search.dir = path.dir;
  if (HasWildcard(path.name)) {
    std::vector<DirEntry> entries;
    if (!ListDirectory(path.dir, &entries)) {
      return INVALID_HANDLE_VALUE;
    }
    IndexNames(path.dir, entries);  // the listing is fresh: lookups there need no other
    for (DirEntry& entry : entries) {
      if (IsAddressable(entry.name) && MatchesPattern(path.name, entry.name)) {
        search.matches.push_back(std::move(entry));
      }
    }
    std::sort(search.matches.begin(), search.matches.end(),
              [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
    if (search.matches.empty()) {
      return INVALID_HANDLE_VALUE;
    }
    (void)HandOutNext(&search, lpFindFileData);
  } else {
    // A plain name is a probe: one lookup when the name exists with its exact case.
    std::string actual;
    struct stat info {};
    if (!ResolveEntry(path, &actual, &info)) {
      return INVALID_HANDLE_VALUE;
    }
    FillFindData(actual, AttributesOf(info), static_cast<std::uint64_t>(info.st_size),
                 lpFindFileData);
    search.next = 1;
    search.matches.push_back({actual, DT_UNKNOWN});
  }
  const std::uintptr_t id = ++LastSearchId;
  OpenSearches.emplace(id, std::move(search));
  return reinterpret_cast<HANDLE>(id);
}

BOOL RealFindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData) {
  Search* search = FindSearch(hFindFile);
  if (search == nullptr || lpFindFileData == nullptr) {
    return FALSE;
  }
  return HandOutNext(search, lpFindFileData) ? TRUE : FALSE;
}

BOOL RealFindClose(HANDLE hFindFile) {
  return OpenSearches.erase(reinterpret_cast<std::uintptr_t>(hFindFile)) == 1 ? TRUE : FALSE;
}

// Read-only is the one attribute POSIX can show: the owner's write permission. Clearing it adds
// that permission alone, never group's or other's, and a link is left as it is, never followed.
BOOL RealSetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes) {
  HostPath path;
  if (!ToHostPath(lpFileName, &path)) {
    return FALSE;
  }
  if (LastHandedOut && dwFileAttributes == FILE_ATTRIBUTE_NORMAL &&
      LastHandedOut->path == Join(path.dir, path.name) &&
      (S_ISLNK(LastHandedOut->info.st_mode) || (LastHandedOut->info.st_mode & S_IWUSR) != 0)) {
    return TRUE;  // just looked at, and already as wanted
  }
  LastHandedOut.reset();
  std::string actual;
  struct stat info {};
  if (!ResolveEntry(path, &actual, &info)) {
    return FALSE;
  }
  if (S_ISLNK(info.st_mode)) {
    return TRUE;
  }
  const mode_t current = info.st_mode & 07777U;
  const mode_t wanted = (dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0
                            ? (current & ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH))
                            : (current | S_IWUSR);
  if (wanted == current) {
    return TRUE;
  }
  return ChangeModeNoFollow(Join(path.dir, actual), info, wanted) ? TRUE : FALSE;
}

namespace {

// Renames without replacing, or across file systems copies and then removes; keeps the indexes of
// both directories current. On failure errno says why the rename failed.
bool PutInPlace(const std::string& fromDir, const std::string& fromName, const HostPath& to) {
  const std::string source = Join(fromDir, fromName);
  bool moved = renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, Join(to.dir, to.name).c_str(),
                         RENAME_NOREPLACE) == 0;
  if (!moved && errno == EXDEV) {
    moved = MoveAcrossDevices(source, to.dir, to.name);
    errno = EXDEV;
  }
  if (moved) {
    NoteRemoved(fromDir, fromName);
    NoteAdded(to.dir, to.name);
    ForgetDirectoriesUnder(source);
  }
  return moved;
}

// The move when the fast path can't decide: the source under another case, a name already at the
// new path (the very entry, perhaps), or an index that has fallen behind.
BOOL MoveResolved(const HostPath& from, const HostPath& to) {
  std::string fromActual;
  struct stat fromInfo {};
  if (!ResolveEntry(from, &fromActual, &fromInfo)) {
    return FALSE;
  }
  std::string toActual;
  struct stat toInfo {};
  switch (LookUpEntry(to, &toActual, &toInfo)) {
    case Lookup::Found:
      return fromInfo.st_dev == toInfo.st_dev && fromInfo.st_ino == toInfo.st_ino &&
                     fromActual == toActual && SameDirectory(from.dir, to.dir)
                 ? TRUE
                 : FALSE;
    case Lookup::Unknown:
      return FALSE;  // a name in another case may be there: better no move than two copies
    case Lookup::Absent:
      break;
  }
  return PutInPlace(from.dir, fromActual, to) ? TRUE : FALSE;
}

}  // namespace

// Never replaces. An existing entry at the new path, in any letter case, fails the move, unless it
// is the very entry being moved. The rename itself refuses to replace too, so an entry that
// appears in between is not overwritten either. Across file systems a file is copied and then
// removed, and anything else fails, as on Windows.
BOOL RealMoveFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName) {
  LastHandedOut.reset();
  HostPath from;
  HostPath to;
  if (!ToHostPath(lpExistingFileName, &from) || !ToHostPath(lpNewFileName, &to, false)) {
    return FALSE;
  }
  // The common case costs one rename: the source under its exact name, and no name in any case
  // at the new path.
  const DirIndex* targets = IndexOf(to.dir);
  if (targets != nullptr && targets->count(Folded(to.name)) == 0) {
    if (PutInPlace(from.dir, from.name, to)) {
      return TRUE;
    }
    if (errno != ENOENT && errno != EEXIST) {
      return FALSE;  // across file systems too: the copy failed, and was undone
    }
  }
  return MoveResolved(from, to);
}
