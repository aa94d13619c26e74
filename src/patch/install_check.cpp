#include "patch/install_check.h"

#include "patch/file_tables.h"
#include "patch/patch_main.h"

bool CheckInstallComplete() {
  for (const char* name : RequiredFileTable) {
    // cppcheck-suppress useStlAlgorithm ; the loop says plainly that probing stops at the first gap
    if (!MemberExists(name)) {
      return false;
    }
  }
  return true;
}

// The probe owns its copy of the name. Callers pass table literals, so a reference would still
// build one string: there is nothing to save.
// NOLINTNEXTLINE(performance-unnecessary-value-param)
bool MemberExists(std::string name) {  // cppcheck-suppress passedByValue
  const std::string path = MemberPath(name.c_str());
  WIN32_FIND_DATAA found;
  const HANDLE search = FindFirstFileA(path.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    return false;
  }
  (void)FindClose(search);
  return true;
}
