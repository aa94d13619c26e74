// A trace of the nine calls, the stand-in's counterpart of Wine's relay channel: one line per
// call in the text form of platform_calls.h. Lets one scenario suite compare the stand-in's calls
// with Windows' own.
#pragma once

#include <cstdio>

// Writes every call, once it has returned, to `out`.
void InstallCallTrace(std::FILE* out);
