// Is the installation complete? Probes InstallDir for every required archive; changes nothing.
#pragma once

#include <string>

// True when every name of RequiredFileTable exists in InstallDir; stops at the first missing one.
bool CheckInstallComplete();

// True when the member path of the name matches an entry of any kind. A probe that cannot run
// (path too long, directory unreadable) reads as missing.
bool MemberExists(std::string name);
