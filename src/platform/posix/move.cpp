// MoveFileA over POSIX renames: within a file system by rename, to another by copy and removal.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/posix/internal.h"
#include "platform/posix/lookup.h"

namespace {

bool SameDirectory(const std::string& a, const std::string& b) {
  struct stat first {};
  struct stat second {};
  return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

}  // namespace

// Never replaces. An existing entry at the new path, in any letter case, fails the move, unless it
// is the very entry being moved. The rename itself refuses to replace too, so an entry that
// appears in between is not overwritten either. Across file systems a file is copied and then
// removed, and anything else fails, as on Windows.
BOOL RealMoveFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName) {
  HostPath from;
  HostPath to;
  std::string fromActual;
  struct stat fromInfo {};
  if (!ToHostPath(lpExistingFileName, &from) || !ToHostPath(lpNewFileName, &to, false) ||
      LookUpEntry(from, &fromActual, &fromInfo) != Lookup::Found) {
    return FALSE;
  }
  std::string toActual;
  struct stat toInfo {};
  switch (LookUpEntry(to, &toActual, &toInfo)) {
    case Lookup::Found:
      return fromInfo.st_dev == toInfo.st_dev && fromInfo.st_ino == toInfo.st_ino &&
                     fromActual == toActual && SameDirectory(from.dir, to.dir)
                 ? TRUE
                 : FALSE;
    case Lookup::Unknown:
      return FALSE;  // a name in another case may be there: better no move than two copies
    case Lookup::Absent:
      break;
  }
  const std::string source = Join(from.dir, fromActual);
  if (renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, Join(to.dir, to.name).c_str(),
                RENAME_NOREPLACE) == 0) {
    return TRUE;
  }
  return errno == EXDEV && MoveAcrossDevices(source, to.dir, to.name) ? TRUE : FALSE;
}
