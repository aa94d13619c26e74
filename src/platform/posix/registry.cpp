// The Win32 registry calls over a store kept in directories.
//
// The store's root is $KELVANE_PATCH_REGISTRY, else $XDG_DATA_HOME/kelvane-patch/registry, else
// ~/.local/share/kelvane-patch/registry. A key is the directory <root>/HKEY_LOCAL_MACHINE/<path>,
// and a value is a regular file in it holding the value's raw bytes. The store keeps no types:
// every value reads back as REG_BINARY.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/posix/internal.h"

namespace {

constexpr LONG ErrorCantOpen = 1011;                  // ERROR_CANTOPEN
constexpr REGSAM KeyWriteRights = 0x0002U | 0x0004U;  // KEY_SET_VALUE | KEY_CREATE_SUB_KEY

// Handles are serial numbers, never reused, so a stale or forged handle is refused, not followed.
std::map<std::uintptr_t, std::string> OpenKeys;
std::uintptr_t LastKeyId = 0;

std::string StoreRoot() {
  const char* explicitRoot = std::getenv("KELVANE_PATCH_REGISTRY");
  if (explicitRoot != nullptr && *explicitRoot != '\0') {
    return explicitRoot;
  }
  // The base directory specification says to ignore a relative XDG_DATA_HOME.
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  if (dataHome != nullptr && *dataHome == '/') {
    return std::string(dataHome) + "/kelvane-patch/registry";
  }
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != '\0') {
    return std::string(home) + "/.local/share/kelvane-patch/registry";
  }
  return {};
}

bool KeyDirectory(HKEY key, std::string* dir) {
  if (key == HKEY_LOCAL_MACHINE) {
    const std::string root = StoreRoot();
    *dir = root + "/HKEY_LOCAL_MACHINE";
    return !root.empty();
  }
  const auto found = OpenKeys.find(reinterpret_cast<std::uintptr_t>(key));
  if (found == OpenKeys.end()) {
    return false;
  }
  *dir = found->second;
  return true;
}

// A key or value name must stay inside its key's directory.
bool IsStorableName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

LONG FromErrno(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    default:
      return ErrorCantOpen;
  }
}

// Makes each missing directory on the way; *created tells whether the last one was new.
LONG MakeDirectories(const std::string& path, bool* created) {
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string prefix = path.substr(0, slash);
    *created = mkdir(prefix.c_str(), 0777) == 0;
    if (!*created && errno != EEXIST) {
      return FromErrno(errno);
    }
    if (slash == std::string::npos) {
      break;
    }
  }
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    return FromErrno(errno);
  }
  return S_ISDIR(info.st_mode) ? ERROR_SUCCESS : ErrorCantOpen;
}

}  // namespace

LONG RealRegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*Reserved*/, LPSTR /*lpClass*/,
                         DWORD /*dwOptions*/, REGSAM samDesired,
                         LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, PHKEY phkResult,
                         LPDWORD lpdwDisposition) {
  if (phkResult == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  *phkResult = nullptr;  // no handle unless one is made
  std::string dir;
  if (!KeyDirectory(hKey, &dir)) {
    return ERROR_INVALID_HANDLE;
  }
  const std::string subKey = lpSubKey != nullptr ? lpSubKey : "";
  for (std::size_t start = 0; start < subKey.size();) {
    std::size_t end = subKey.find('\\', start);
    end = end == std::string::npos ? subKey.size() : end;
    const std::string component = subKey.substr(start, end - start);
    if (!IsStorableName(component)) {
      return ERROR_BAD_PATHNAME;
    }
    dir += '/';
    dir += component;
    start = end + 1;
  }
  bool created = false;
  const LONG made = MakeDirectories(dir, &created);
  if (made != ERROR_SUCCESS) {
    return made;
  }
  if ((samDesired & KeyWriteRights) != 0 && access(dir.c_str(), W_OK | X_OK) != 0) {
    return ERROR_ACCESS_DENIED;
  }
  const std::uintptr_t id = ++LastKeyId;
  OpenKeys.emplace(id, dir);
  *phkResult = reinterpret_cast<HKEY>(id);
  if (lpdwDisposition != nullptr) {
    *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  }
  return ERROR_SUCCESS;
}

// cppcheck-suppress constParameter ; the signature is RegQueryValueExA's own
LONG RealRegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                          LPBYTE lpData, LPDWORD lpcbData) {
  std::string dir;
  if (hKey == nullptr || !KeyDirectory(hKey, &dir)) {
    return ERROR_INVALID_HANDLE;
  }
  if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  const std::string name = lpValueName != nullptr ? lpValueName : "";
  if (!IsStorableName(name)) {
    return ERROR_FILE_NOT_FOUND;
  }
  const int fd = open((dir + '/' + name).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    return errno == ELOOP ? ERROR_FILE_NOT_FOUND : FromErrno(errno);
  }
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    (void)close(fd);
    return ERROR_FILE_NOT_FOUND;
  }
  // Read at most one byte past what the caller can take: enough to know the value is too large,
  // however large the file is, and never into the caller's buffer before it is known to fit.
  const std::size_t capacity = lpData != nullptr ? *lpcbData : 0;
  std::vector<BYTE> bytes(std::min(capacity, static_cast<std::size_t>(info.st_size)) + 1);
  std::size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = read(fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    got += static_cast<std::size_t>(n);
  }
  (void)close(fd);
  const std::size_t size = std::max(got, static_cast<std::size_t>(info.st_size));
  if (lpType != nullptr) {
    *lpType = REG_BINARY;
  }
  if (lpcbData != nullptr) {
    *lpcbData = static_cast<DWORD>(std::min<std::size_t>(size, UINT32_MAX));
  }
  if (lpData == nullptr) {
    return ERROR_SUCCESS;
  }
  if (got > capacity) {
    return ERROR_MORE_DATA;
  }
  std::memcpy(lpData, bytes.data(), got);
  *lpcbData = static_cast<DWORD>(got);
  return ERROR_SUCCESS;
}

LONG RealRegCloseKey(HKEY hKey) {
  if (hKey == HKEY_LOCAL_MACHINE) {
    return ERROR_SUCCESS;
  }
  return OpenKeys.erase(reinterpret_cast<std::uintptr_t>(hKey)) == 1 ? ERROR_SUCCESS
                                                                     : ERROR_INVALID_HANDLE;
}
