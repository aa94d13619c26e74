// Gives the short-named archives in the installation directory their long names back.
#pragma once

#include <string>

// Renames every pair of RenameTable, in order; a pair that fails is neither retried nor reported.
void RestoreLongNames();

// Moves InstallDir\shortName to InstallDir\longName, which never replaces an existing file.
// Only the long name gets normal attributes. True when the move succeeded.
bool RenameMember(std::string shortName, std::string longName);
