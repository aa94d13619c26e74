// The patch driver: locate the installation, check it, repair it, check again, tell the player.
#pragma once

#include <cstddef>
#include <string>

#include "platform/platform_ops.h"

constexpr std::size_t InstallDirSize = 256;

// The installation directory exactly as the registry read left it: zero-filled at start, so a
// value stored without its terminating zero still reads as a string.
extern char InstallDir[InstallDirSize];

// InstallDir up to and including its last backslash; set once, just before the repair phase.
extern std::string ParentPrefix;

// The text of a fixed buffer: the bytes before its first zero, or all of them when none is zero.
std::string BoundedText(const char* buffer, std::size_t size);

// The text of InstallDir: the bytes before its first zero, or all of them when none is zero.
std::string InstallDirText();

// InstallDir, one backslash, and the name: always the backslash, even after a trailing one.
std::string MemberPath(const char* name);

// WinMain itself is declared by the platform header.
