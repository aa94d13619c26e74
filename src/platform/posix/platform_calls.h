// The stand-in's call table. Every Win32 call of the stand-in goes through PlatformCallTable, so
// a test can record each call with its arguments, or make the Nth one fail, while the patch code
// still runs against real files. The entries start as the real implementations.
#pragma once

#include "platform/platform_ops.h"

struct PlatformCalls {
  decltype(&::RegCreateKeyExA) RegCreateKeyExA;
  decltype(&::RegQueryValueExA) RegQueryValueExA;
  decltype(&::RegCloseKey) RegCloseKey;
  decltype(&::FindFirstFileA) FindFirstFileA;
  decltype(&::FindNextFileA) FindNextFileA;
  decltype(&::FindClose) FindClose;
  decltype(&::SetFileAttributesA) SetFileAttributesA;
  decltype(&::MoveFileA) MoveFileA;
  decltype(&::MessageBoxA) MessageBoxA;
};

// The real implementations; assign this back to PlatformCallTable to undo a test's changes.
extern const PlatformCalls DefaultPlatformCalls;

extern PlatformCalls PlatformCallTable;

// The steps of a move to another file system, in order.
enum class CrossDeviceStep { Copy, Flush, Place, RemoveSource };

// Called before each step when set; false fails that step as the system would. Lets a test fail
// or interrupt a cross-device move at each step.
extern bool (*CrossDeviceStepHook)(CrossDeviceStep step);
