#include "platform/posix/posix_trace.h"

#include <cstdint>
#include <string>

#include "platform/posix/platform_calls.h"

namespace {

std::FILE* TraceOut = nullptr;

std::string Hex(std::uintptr_t value) {
  char text[2 * sizeof(unsigned long long) + 1];
  (void)std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(value));
  return text;
}
std::string Hex(const void* pointer) {
  return Hex(reinterpret_cast<std::uintptr_t>(pointer));
}

// Quoted the way Wine's debug channels quote: printable ASCII as it is, but for the quote and the
// backslash, which get a backslash; everything else as \xNN.
std::string Quoted(const char* text) {
  if (text == nullptr) {
    return "(null)";
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

void Write(const char* name, const std::string& args, const std::string& result) {
  (void)std::fprintf(TraceOut, "%s(%s) = %s\n", name, args.c_str(), result.c_str());
  (void)std::fflush(TraceOut);
}

LONG TraceRegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                          REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result,
                          LPDWORD disposition) {
  const LONG status = DefaultPlatformCalls.RegCreateKeyExA(key, subKey, reserved, keyClass, options,
                                                           access, security, result, disposition);
  Write("RegCreateKeyExA",
        Hex(key) + "," + Quoted(subKey) + "," + Hex(reserved) + "," + Hex(keyClass) + "," +
            Hex(options) + "," + Hex(access) + "," + Hex(security) + "," + Hex(result) + "," +
            Hex(disposition),
        Hex(static_cast<std::uint32_t>(status)));
  return status;
}

LONG TraceRegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                           LPDWORD size) {
  const LONG status = DefaultPlatformCalls.RegQueryValueExA(key, name, reserved, type, data, size);
  Write("RegQueryValueExA",
        Hex(key) + "," + Quoted(name) + "," + Hex(reserved) + "," + Hex(type) + "," + Hex(data) +
            "," + Hex(size),
        Hex(static_cast<std::uint32_t>(status)));
  return status;
}

LONG TraceRegCloseKey(HKEY key) {
  const LONG status = DefaultPlatformCalls.RegCloseKey(key);
  Write("RegCloseKey", Hex(key), Hex(static_cast<std::uint32_t>(status)));
  return status;
}

HANDLE TraceFindFirstFileA(LPCSTR path, LPWIN32_FIND_DATAA found) {
  HANDLE search = DefaultPlatformCalls.FindFirstFileA(path, found);
  Write("FindFirstFileA", Quoted(path) + "," + Hex(found), Hex(search));
  return search;
}

BOOL TraceFindNextFileA(HANDLE search, LPWIN32_FIND_DATAA found) {
  const BOOL more = DefaultPlatformCalls.FindNextFileA(search, found);
  Write("FindNextFileA", Hex(search) + "," + Hex(found), Hex(static_cast<std::uint32_t>(more)));
  return more;
}

BOOL TraceFindClose(HANDLE search) {
  const BOOL closed = DefaultPlatformCalls.FindClose(search);
  Write("FindClose", Hex(search), Hex(static_cast<std::uint32_t>(closed)));
  return closed;
}

BOOL TraceSetFileAttributesA(LPCSTR path, DWORD attributes) {
  const BOOL done = DefaultPlatformCalls.SetFileAttributesA(path, attributes);
  Write("SetFileAttributesA", Quoted(path) + "," + Hex(attributes),
        Hex(static_cast<std::uint32_t>(done)));
  return done;
}

BOOL TraceMoveFileA(LPCSTR from, LPCSTR to) {
  const BOOL done = DefaultPlatformCalls.MoveFileA(from, to);
  Write("MoveFileA", Quoted(from) + "," + Quoted(to), Hex(static_cast<std::uint32_t>(done)));
  return done;
}

int TraceMessageBoxA(HWND window, LPCSTR text, LPCSTR caption, UINT style) {
  const int button = DefaultPlatformCalls.MessageBoxA(window, text, caption, style);
  Write("MessageBoxA", Hex(window) + "," + Quoted(text) + "," + Quoted(caption) + "," + Hex(style),
        Hex(static_cast<std::uint32_t>(button)));
  return button;
}

}  // namespace

void InstallCallTrace(std::FILE* out) {
  TraceOut = out;
  PlatformCallTable = {TraceRegCreateKeyExA,    TraceRegQueryValueExA, TraceRegCloseKey,
                       TraceFindFirstFileA,     TraceFindNextFileA,    TraceFindClose,
                       TraceSetFileAttributesA, TraceMoveFileA,        TraceMessageBoxA};
}
