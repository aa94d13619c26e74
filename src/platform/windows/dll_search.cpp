// The Windows start-up's one addition: before WinMain runs, DLLs are looked for in System32 alone.
//
// The program runs with administrator rights, and players start it from wherever they saved it,
// typically a Downloads folder in which anything may lie beside it. The DLLs it imports are
// KnownDLLs, but the message box makes the system load others on demand (uxtheme.dll, for one),
// and the standard search order tries the program's own folder and the current folder first. A
// file planted there under such a name would run elevated.
#include <windows.h>

namespace {

using SetDefaultDllDirectoriesProc = BOOL(WINAPI*)(DWORD);

void RestrictDllSearch() {
  // Windows 8 has it, and Windows 7 with update KB2533623; it is looked up rather than imported,
  // so that a Windows without it still starts. There, the program's folder stays searched.
  const HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  const FARPROC proc =
      kernel32 != nullptr ? GetProcAddress(kernel32, "SetDefaultDllDirectories") : nullptr;
  if (proc != nullptr) {
    // Through void(*)(), the one function pointer type GCC lets any other be cast to unwarned.
    const auto setDefault =
        reinterpret_cast<SetDefaultDllDirectoriesProc>(reinterpret_cast<void (*)()>(proc));
    (void)setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
  // Takes the current folder out of the search on every Windows since XP SP1.
  (void)SetDllDirectoryA("");
}

// Static construction runs in the C runtime's start-up, before it calls WinMain. This object file
// is linked into the executable directly, never through an archive, so the linker keeps it, and
// the import of SetDllDirectoryA shows that it did.
struct DllSearchRestriction {
  DllSearchRestriction() { RestrictDllSearch(); }
};
const DllSearchRestriction Restriction;

}  // namespace
