// FindFirstFileA, FindNextFileA and FindClose over a POSIX directory.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/internal.h"
#include "platform/posix/lookup.h"
#include "platform/posix/platform_calls.h"

namespace {

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

// Looks each entry up as it is handed out; one already gone keeps what the listing said of it.
bool HandOutNext(Search* search, LPWIN32_FIND_DATAA data) {
  if (search->next >= search->matches.size()) {
    return false;
  }
  const DirEntry& entry = search->matches[search->next++];
  struct stat info {};
  if (lstat(Join(search->dir, entry.name).c_str(), &info) == 0) {
    FillFindData(entry.name, AttributesOf(info), static_cast<std::uint64_t>(info.st_size), data);
  } else {
    FillFindData(entry.name, AttributesOf(entry.type), 0, data);
  }
  return true;
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
    for (DirEntry& entry : entries) {
      if (IsAddressable(entry.name) && MatchesPattern(path.name, entry.name)) {
        search.matches.push_back(std::move(entry));
      }
    }
    std::sort(search.matches.begin(), search.matches.end(),
              [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
    if (!HandOutNext(&search, lpFindFileData)) {
      return INVALID_HANDLE_VALUE;
    }
  } else {
    std::string actual;
    struct stat info {};
    if (LookUpEntry(path, &actual, &info) != Lookup::Found) {
      return INVALID_HANDLE_VALUE;
    }
    FillFindData(actual, AttributesOf(info), static_cast<std::uint64_t>(info.st_size),
                 lpFindFileData);
  }
  const std::uintptr_t id = ++LastSearchId;
  OpenSearches.emplace(id, std::move(search));
  return reinterpret_cast<HANDLE>(id);
}

BOOL RealFindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData) {
  const auto search = OpenSearches.find(reinterpret_cast<std::uintptr_t>(hFindFile));
  if (search == OpenSearches.end() || lpFindFileData == nullptr) {
    return FALSE;
  }
  return HandOutNext(&search->second, lpFindFileData) ? TRUE : FALSE;
}

BOOL RealFindClose(HANDLE hFindFile) {
  return OpenSearches.erase(reinterpret_cast<std::uintptr_t>(hFindFile)) == 1 ? TRUE : FALSE;
}

std::size_t OpenSearchCount() {
  return OpenSearches.size();
}
