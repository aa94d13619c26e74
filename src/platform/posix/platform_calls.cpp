// The one interposer every call of the patch passes (see platform_calls.h).
#include "platform/posix/platform_calls.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <utility>

#include "platform/posix/internal.h"

namespace {

CallObserver* Observer = nullptr;

std::string Hex(std::uintptr_t value) {
  char text[2 * sizeof(unsigned long long) + 3];
  (void)std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

std::string Pointer(const void* pointer) {
  return pointer == nullptr ? "null" : "ptr";
}

std::string Truth(BOOL value) {
  return value != FALSE ? "TRUE" : "FALSE";
}

// Handles by the order the program first met them, so that runs and programs compare.
std::map<std::pair<char, const void*>, std::string> Names;
std::map<char, unsigned> NameCounts;

std::string NewName(char kind, const void* handle) {
  return Names[{kind, handle}] = kind + std::to_string(++NameCounts[kind]);
}

std::string NameOf(char kind, const void* handle) {
  if (handle == nullptr) {
    return "null";
  }
  const auto known = Names.find({kind, handle});
  if (known != Names.end()) {
    return known->second;
  }
  // A key is named where it is first used, as it is in Wine's trace, which does not show the
  // handle a call writes out; a search handle where FindFirstFileA returns it.
  return kind == 'k' ? NewName(kind, handle)
                     : "unknown " + std::string(1, kind) + " " +
                           Hex(reinterpret_cast<std::uintptr_t>(handle));
}

// One call on its way through: shown to the observer before and after. Its text is made only
// when there is an observer, so a run without one pays nothing for it.
class Passing {
 public:
  template <typename Args>
  Passing(const char* name, Args args) : observed_(Observer != nullptr) {
    if (observed_) {
      call_ = {name, args(), {}};
      failure_ = Observer->Before(call_);
    }
  }

  Failure Fails() const { return failure_; }

  template <typename Result, typename Text>
  Result Done(Result result, Text text) {
    if (observed_) {
      call_.result = text(result);
      Observer->After(call_);
    }
    return result;
  }

 private:
  bool observed_;
  PlatformCall call_;
  Failure failure_ = Failure::None;
};

using Args = std::vector<std::string>;

std::string Status(LONG status) {
  return std::to_string(status);
}

}  // namespace

std::string Quoted(const char* text) {
  if (text == nullptr) {
    return "null";
  }
  std::string quoted = "\"";
  for (const char* c = text; *c != '\0'; ++c) {
    const auto byte = static_cast<unsigned char>(*c);
    if (byte == '"' || byte == '\\') {
      quoted += '\\';
      quoted += *c;
    } else if (byte >= 0x20 && byte < 0x7F) {
      quoted += *c;
    } else {
      char escape[5];
      (void)std::snprintf(escape, sizeof escape, "\\x%02x", byte);
      quoted += escape;
    }
  }
  return quoted + "\"";
}

std::string Describe(const PlatformCall& call) {
  std::string text = call.name + "(";
  for (std::size_t i = 0; i < call.args.size(); ++i) {
    text += (i == 0 ? "" : ", ") + call.args[i];
  }
  return text + ") = " + call.result;
}

std::vector<Failure> FailuresOf(const std::string& call) {
  if (call == "RegQueryValueExA") {
    return {Failure::Fails, Failure::WritesOver};
  }
  return {Failure::Fails};
}

void ObserveCalls(CallObserver* observer) {
  Observer = observer;
  Names.clear();
  NameCounts.clear();
}

const PlatformCalls DefaultPlatformCalls = {
    RealRegCreateKeyExA,    RealRegQueryValueExA, RealRegCloseKey,
    RealFindFirstFileA,     RealFindNextFileA,    RealFindClose,
    RealSetFileAttributesA, RealMoveFileA,        RealMessageBoxA,
};

PlatformCalls PlatformCallTable = DefaultPlatformCalls;

LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                            DWORD dwOptions, REGSAM samDesired,
                            LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                            LPDWORD lpdwDisposition) {
  Passing call("RegCreateKeyExA", [&] {
    return Args{hKey == HKEY_LOCAL_MACHINE ? "HKEY_LOCAL_MACHINE"
                                           : Hex(reinterpret_cast<std::uintptr_t>(hKey)),
                Quoted(lpSubKey),
                std::to_string(Reserved),
                Pointer(lpClass),
                std::to_string(dwOptions),
                Hex(samDesired),
                Pointer(lpSecurityAttributes)};
  });
  LONG status = ERROR_ACCESS_DENIED;
  if (call.Fails() == Failure::None) {
    status =
        PlatformCallTable.RegCreateKeyExA(hKey, lpSubKey, Reserved, lpClass, dwOptions, samDesired,
                                          lpSecurityAttributes, phkResult, lpdwDisposition);
  }
  return call.Done(status, Status);
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData) {
  Passing call("RegQueryValueExA", [&] {
    return Args{NameOf('k', hKey), Quoted(lpValueName), Pointer(lpReserved)};
  });
  LONG status = ERROR_FILE_NOT_FOUND;  // the value missing
  if (call.Fails() == Failure::WritesOver && lpData != nullptr && lpcbData != nullptr) {
    std::memset(lpData, 0x5C, *lpcbData);  // more data than fits, the buffer written over
    status = ERROR_MORE_DATA;
  } else if (call.Fails() == Failure::None) {
    status =
        PlatformCallTable.RegQueryValueExA(hKey, lpValueName, lpReserved, lpType, lpData, lpcbData);
  }
  return call.Done(status, Status);
}

LONG WINAPI RegCloseKey(HKEY hKey) {
  Passing call("RegCloseKey", [&] { return Args{NameOf('k', hKey)}; });
  LONG status = ERROR_INVALID_HANDLE;
  if (call.Fails() == Failure::None) {
    status = PlatformCallTable.RegCloseKey(hKey);
  }
  return call.Done(status, Status);
}

HANDLE WINAPI FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData) {
  Passing call("FindFirstFileA", [&] { return Args{Quoted(lpFileName)}; });
  const HANDLE search = call.Fails() != Failure::None
                            ? INVALID_HANDLE_VALUE
                            : PlatformCallTable.FindFirstFileA(lpFileName, lpFindFileData);
  return call.Done(search, [](HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE ? std::string("INVALID") : NewName('h', handle);
  });
}

BOOL WINAPI FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData) {
  Passing call("FindNextFileA", [&] { return Args{NameOf('h', hFindFile)}; });
  const BOOL more = call.Fails() != Failure::None
                        ? FALSE
                        : PlatformCallTable.FindNextFileA(hFindFile, lpFindFileData);
  return call.Done(more, Truth);
}

BOOL WINAPI FindClose(HANDLE hFindFile) {
  Passing call("FindClose", [&] { return Args{NameOf('h', hFindFile)}; });
  const BOOL closed =
      call.Fails() != Failure::None ? FALSE : PlatformCallTable.FindClose(hFindFile);
  return call.Done(closed, Truth);
}

BOOL WINAPI SetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes) {
  Passing call("SetFileAttributesA", [&] {
    return Args{Quoted(lpFileName), Hex(dwFileAttributes)};
  });
  const BOOL done = call.Fails() != Failure::None
                        ? FALSE
                        : PlatformCallTable.SetFileAttributesA(lpFileName, dwFileAttributes);
  return call.Done(done, Truth);
}

BOOL WINAPI MoveFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName) {
  Passing call("MoveFileA", [&] {
    return Args{Quoted(lpExistingFileName), Quoted(lpNewFileName)};
  });
  const BOOL done = call.Fails() != Failure::None
                        ? FALSE
                        : PlatformCallTable.MoveFileA(lpExistingFileName, lpNewFileName);
  return call.Done(done, Truth);
}

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
  Passing call("MessageBoxA", [&] {
    return Args{Pointer(hWnd), Quoted(lpText), Quoted(lpCaption), Hex(uType)};
  });
  const int button = call.Fails() != Failure::None
                         ? 0
                         : PlatformCallTable.MessageBoxA(hWnd, lpText, lpCaption, uType);
  return call.Done(button, [](int pressed) { return std::to_string(pressed); });
}
