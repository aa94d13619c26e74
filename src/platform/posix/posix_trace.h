// A trace of the nine calls, the stand-in's counterpart of Wine's relay channel: one line per
// call, `Name(arg,...) = result`, with numbers in hex and strings quoted and escaped as Wine
// writes them. Lets one scenario suite compare the stand-in's calls with Windows' own.
#pragma once

#include <cstdio>

// Routes every call of PlatformCallTable through a tracer that writes to `out`.
void InstallCallTrace(std::FILE* out);
