// A DLL planted beside the program under names of DLLs the system loads on demand. Should it ever
// be loaded, its DllMain leaves a file in the current folder, where the scenario's final tree shows
// it.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD reason, LPVOID /*reserved*/) {
  if (reason == DLL_PROCESS_ATTACH) {
    const HANDLE marker = CreateFileA("planted-dll-ran", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (marker != INVALID_HANDLE_VALUE) {
      (void)CloseHandle(marker);
    }
  }
  return TRUE;
}
