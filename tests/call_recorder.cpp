#include "call_recorder.h"

#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <sstream>
#include <type_traits>

#include "platform/posix/platform_calls.h"

namespace {

CallRecorder* Active = nullptr;

std::string Hex(std::uintptr_t value) {
  std::ostringstream text;
  text << std::showbase << std::hex << value;  // zero shows as "0", without a base
  return text.str();
}
std::string Hex(const void* pointer) {
  return Hex(reinterpret_cast<std::uintptr_t>(pointer));
}
std::string Text(const char* text) {
  return text != nullptr ? text : "(null)";
}

// Records the call; true when it is the one to fail.
bool Begin(const char* name, std::vector<std::string> args) {
  Active->calls.push_back({name, std::move(args), {}});
  if (!Active->plan.crashAfter && Active->calls.size() == Active->plan.crashCall) {
    _exit(0);
  }
  return Active->calls.size() == Active->plan.failCall;
}

template <typename Result>
Result Finish(Result result) {
  if (Active->plan.crashAfter && Active->calls.size() == Active->plan.crashCall) {
    _exit(0);
  }
  if constexpr (std::is_pointer_v<Result>) {
    Active->calls.back().result = Hex(result);
  } else {
    Active->calls.back().result = Hex(static_cast<std::uintptr_t>(result));
  }
  return result;
}

void NoteFound(bool ok, const WIN32_FIND_DATAA* found) {
  if (ok && found != nullptr) {
    Active->calls.back().result += std::string(" ") + found->cFileName;
  }
}

LONG RecordRegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                           REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result,
                           LPDWORD disposition) {
  if (Begin("RegCreateKeyExA", {Hex(key), Text(subKey), Hex(reserved), Hex(keyClass), Hex(options),
                                Hex(access), Hex(security)})) {
    return Finish<LONG>(ERROR_ACCESS_DENIED);
  }
  const LONG status = Finish(DefaultPlatformCalls.RegCreateKeyExA(
      key, subKey, reserved, keyClass, options, access, security, result, disposition));
  if (status == ERROR_SUCCESS && result != nullptr) {
    Active->calls.back().result += " " + Hex(*result);
  }
  return status;
}

LONG RecordRegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                            LPDWORD size) {
  if (Begin("RegQueryValueExA",
            {Hex(key), Text(name), Hex(reserved), Hex(size != nullptr ? *size : 0)})) {
    if (Active->plan.failKind == 1 && data != nullptr && size != nullptr) {
      std::memset(data, 0x5C, *size);
      return Finish<LONG>(ERROR_MORE_DATA);
    }
    return Finish<LONG>(ERROR_FILE_NOT_FOUND);
  }
  return Finish(DefaultPlatformCalls.RegQueryValueExA(key, name, reserved, type, data, size));
}

LONG RecordRegCloseKey(HKEY key) {
  if (Begin("RegCloseKey", {Hex(key)})) {
    return Finish<LONG>(ERROR_INVALID_HANDLE);
  }
  return Finish(DefaultPlatformCalls.RegCloseKey(key));
}

HANDLE RecordFindFirstFileA(LPCSTR path, LPWIN32_FIND_DATAA found) {
  if (Begin("FindFirstFileA", {Text(path)})) {
    return Finish(INVALID_HANDLE_VALUE);
  }
  const HANDLE handle = Finish(DefaultPlatformCalls.FindFirstFileA(path, found));
  NoteFound(handle != INVALID_HANDLE_VALUE, found);
  return handle;
}

BOOL RecordFindNextFileA(HANDLE handle, LPWIN32_FIND_DATAA found) {
  if (Begin("FindNextFileA", {Hex(handle)})) {
    return Finish<BOOL>(FALSE);
  }
  const BOOL ok = Finish(DefaultPlatformCalls.FindNextFileA(handle, found));
  NoteFound(ok != FALSE, found);
  return ok;
}

BOOL RecordFindClose(HANDLE handle) {
  if (Begin("FindClose", {Hex(handle)})) {
    return Finish<BOOL>(FALSE);
  }
  return Finish(DefaultPlatformCalls.FindClose(handle));
}

BOOL RecordSetFileAttributesA(LPCSTR path, DWORD attributes) {
  if (Begin("SetFileAttributesA", {Text(path), Hex(attributes)})) {
    return Finish<BOOL>(FALSE);
  }
  return Finish(DefaultPlatformCalls.SetFileAttributesA(path, attributes));
}

BOOL RecordMoveFileA(LPCSTR from, LPCSTR to) {
  if (Begin("MoveFileA", {Text(from), Text(to)})) {
    return Finish<BOOL>(FALSE);
  }
  return Finish(DefaultPlatformCalls.MoveFileA(from, to));
}

int RecordMessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT style) {
  if (Begin("MessageBoxA", {Hex(owner), Text(text), Text(caption), Hex(style)})) {
    return Finish(0);
  }
  return Finish(DefaultPlatformCalls.MessageBoxA(owner, text, caption, style));
}

}  // namespace

CallRecorder::CallRecorder(const FaultPlan& faults) : plan(faults) {
  Active = this;
  PlatformCallTable = {RecordRegCreateKeyExA,    RecordRegQueryValueExA, RecordRegCloseKey,
                       RecordFindFirstFileA,     RecordFindNextFileA,    RecordFindClose,
                       RecordSetFileAttributesA, RecordMoveFileA,        RecordMessageBoxA};
}

CallRecorder::~CallRecorder() {
  PlatformCallTable = DefaultPlatformCalls;
  Active = nullptr;
}

int FailureKinds(const std::string& call) {
  return call == "RegQueryValueExA" ? 2 : 1;
}

std::vector<std::string> FormatCalls(const std::vector<RecordedCall>& calls) {
  std::vector<std::string> lines;
  for (const RecordedCall& call : calls) {
    std::string line = call.name + "(";
    for (std::size_t i = 0; i < call.args.size(); ++i) {
      line += (i == 0 ? "" : ", ") + call.args[i];
    }
    lines.push_back(line + ")");
  }
  return lines;
}
