// MessageBoxA with no window system to ask: the text goes to standard output, and the user
// dismisses it at once.
#include <cstdio>

#include "platform/posix/internal.h"

int RealMessageBoxA(HWND /*hWnd*/, LPCSTR lpText, LPCSTR /*lpCaption*/, UINT /*uType*/) {
  (void)std::fputs(lpText != nullptr ? lpText : "", stdout);
  (void)std::fputc('\n', stdout);
  (void)std::fflush(stdout);
  return IDOK;
}
