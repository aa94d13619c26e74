// The stand-in for the Windows start-up code: call WinMain once, make its result the exit code.
#include "platform/platform_ops.h"

int main() {
  char commandLine[] = "";
  return WinMain(nullptr, nullptr, commandLine, 10 /* SW_SHOWDEFAULT */);
}
