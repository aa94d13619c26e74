// Moves archives and executables that landed in the parent of the installation directory into it.
#pragma once

// Moves every entry of the ParentPrefix directory that matches the pattern, files and directories
// alike, into InstallDir under the same name, except names that begin with a dot and names holding
// a byte no Windows file name may hold. Both ends get normal attributes first; a move that fails
// leaves its source where it was.
void RelocateMisplaced(const char* pattern);
