// The stand-in for the Windows start-up code: call WinMain once, make its result the exit code.
// KELVANE_PATCH_TRACE, when set, names a file to which every platform call is appended.
#include <cstdio>
#include <cstdlib>

#include "platform/platform_ops.h"
#include "platform/posix/trace.h"

int main() {
  const char* tracePath = std::getenv("KELVANE_PATCH_TRACE");
  std::FILE* trace = nullptr;
  if (tracePath != nullptr && *tracePath != '\0') {
    trace = std::fopen(tracePath, "a");
    if (trace == nullptr) {
      std::perror(tracePath);
      return 1;
    }
    InstallCallTrace(trace);
  }
  char commandLine[] = "";
  const int result = WinMain(nullptr, nullptr, commandLine, 10 /* SW_SHOWDEFAULT */);
  if (trace != nullptr) {
    (void)std::fclose(trace);
  }
  return result;
}
