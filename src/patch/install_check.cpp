#include "patch/install_check.h"

#include "patch/file_tables.h"
#include "patch/patch_main.h"

bool CheckInstallComplete() {
  for (const char* name : RequiredFileTable) {
    if (!MemberExists(name)) {
      return false;
    }
  }
  return true;
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the probe owns its copy of the name.
bool MemberExists(std::string name) {
  const std::string path = MemberPath(name.c_str());
  WIN32_FIND_DATAA found;
  const HANDLE search = FindFirstFileA(path.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    return false;
  }
  (void)FindClose(search);
  return true;
}
