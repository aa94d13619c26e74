// For the out-of-memory sweep: a build of the Windows program, linked with --wrap=malloc, in which
// allocation number KELVANE_FAIL_ALLOCATION returns null. When it does, the file named by
// KELVANE_FAIL_MARKER is created, so that the sweep knows the run got that far.
//
// Counting starts at static construction, after the C runtime's own start-up has copied the
// command line and environment: those copies are not checked for null by mingw-w64's start-up
// code, and they happen before the program has run a line of its own or touched a file.
#include <windows.h>

#include <cstdlib>

extern "C" void* __real_malloc(std::size_t size);  // NOLINT(bugprone-reserved-identifier)

namespace {

long Counted = 0;
long FailAt = 0;  // 0: counting has not started, or no allocation is to fail

struct StartCounting {
  StartCounting() {
    char text[24] = {};
    const DWORD length = GetEnvironmentVariableA("KELVANE_FAIL_ALLOCATION", text, sizeof text);
    FailAt = length > 0 && length < sizeof text ? std::atol(text) : 0;
  }
};
const StartCounting Start;

void MarkFailed() {
  char marker[MAX_PATH] = {};
  const DWORD length = GetEnvironmentVariableA("KELVANE_FAIL_MARKER", marker, sizeof marker);
  if (length == 0 || length >= sizeof marker) {
    return;
  }
  const HANDLE file =
      CreateFileA(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    (void)CloseHandle(file);
  }
}

}  // namespace

// NOLINTNEXTLINE(bugprone-reserved-identifier)
extern "C" void* __wrap_malloc(std::size_t size) {
  if (FailAt > 0 && ++Counted == FailAt) {
    MarkFailed();
    return nullptr;
  }
  return __real_malloc(size);
}
