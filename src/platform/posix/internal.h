// The stand-in's real implementations of the nine calls, reached through the call table.
#pragma once

#include <string>

#include "platform/platform_ops.h"

LONG RealRegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                         REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                         PHKEY phkResult, LPDWORD lpdwDisposition);
LONG RealRegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                          LPBYTE lpData, LPDWORD lpcbData);
LONG RealRegCloseKey(HKEY hKey);
HANDLE RealFindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData);
BOOL RealFindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData);
BOOL RealFindClose(HANDLE hFindFile);
BOOL RealSetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes);
BOOL RealMoveFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName);
int RealMessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType);

// Moves the regular file at host path `from` to `toDir`/`toName` on another file system: copy,
// flush, name without replacing, then remove the source. False, with nothing changed, on failure.
bool MoveAcrossDevices(const std::string& from, const std::string& toDir,
                       const std::string& toName);

// The steps of a move to another file system, in order.
enum class CrossDeviceStep { Copy, Flush, Place, RemoveSource };

// Whether a step goes ahead: always, in the program, whose definition is weak. The tests link one
// of their own, to fail or interrupt a move at each step, so the program carries no hook.
bool CrossDeviceStepProceeds(CrossDeviceStep step);
