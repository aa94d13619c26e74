#include "platform/posix/platform_calls.h"

#include <cstdio>

#include "platform/posix/posix_internal.h"

namespace {

// No window system to ask: the text goes to standard output, and the "user" dismisses at once.
int RealMessageBoxA(HWND /*hWnd*/, LPCSTR lpText, LPCSTR /*lpCaption*/, UINT /*uType*/) {
  (void)std::fputs(lpText != nullptr ? lpText : "", stdout);
  (void)std::fputc('\n', stdout);
  (void)std::fflush(stdout);
  return IDOK;
}

}  // namespace

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
  return PlatformCallTable.RegCreateKeyExA(hKey, lpSubKey, Reserved, lpClass, dwOptions, samDesired,
                                           lpSecurityAttributes, phkResult, lpdwDisposition);
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData) {
  return PlatformCallTable.RegQueryValueExA(hKey, lpValueName, lpReserved, lpType, lpData,
                                            lpcbData);
}

LONG WINAPI RegCloseKey(HKEY hKey) {
  return PlatformCallTable.RegCloseKey(hKey);
}

HANDLE WINAPI FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData) {
  return PlatformCallTable.FindFirstFileA(lpFileName, lpFindFileData);
}

BOOL WINAPI FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData) {
  return PlatformCallTable.FindNextFileA(hFindFile, lpFindFileData);
}

BOOL WINAPI FindClose(HANDLE hFindFile) {
  return PlatformCallTable.FindClose(hFindFile);
}

BOOL WINAPI SetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes) {
  return PlatformCallTable.SetFileAttributesA(lpFileName, dwFileAttributes);
}

BOOL WINAPI MoveFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName) {
  return PlatformCallTable.MoveFileA(lpExistingFileName, lpNewFileName);
}

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
  return PlatformCallTable.MessageBoxA(hWnd, lpText, lpCaption, uType);
}
