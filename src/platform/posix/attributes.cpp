// SetFileAttributesA over POSIX permissions: read-only is the owner's missing write permission.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/posix/internal.h"
#include "platform/posix/lookup.h"

namespace {

// Changes the mode of an entry that was seen not to be a link, never following one should it have
// become a link since. glibc's fchmodat(AT_SYMLINK_NOFOLLOW) reaches the entry through
// /proc/self/fd and says EOPNOTSUPP where /proc is missing, as in a minimal chroot; there a
// descriptor opened with O_NOFOLLOW does the same. Only files and directories are opened that way,
// since opening a device or a FIFO can do things of its own, and only the entry that was seen.
bool ChangeModeNoFollow(const std::string& path, const struct stat& seen, mode_t mode) {
  if (fchmodat(AT_FDCWD, path.c_str(), mode, AT_SYMLINK_NOFOLLOW) == 0) {
    return true;
  }
  if (errno != EOPNOTSUPP || !(S_ISREG(seen.st_mode) || S_ISDIR(seen.st_mode))) {
    return false;
  }
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  struct stat now {};
  const bool changed = fstat(fd, &now) == 0 && now.st_dev == seen.st_dev &&
                       now.st_ino == seen.st_ino && fchmod(fd, mode) == 0;
  (void)close(fd);
  return changed;
}

}  // namespace

// Clearing read-only adds the owner's write permission alone, never group's or other's, and a
// link is left as it is, never followed.
BOOL RealSetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes) {
  HostPath path;
  std::string actual;
  struct stat info {};
  if (!ToHostPath(lpFileName, &path) || LookUpEntry(path, &actual, &info) != Lookup::Found) {
    return FALSE;
  }
  if (S_ISLNK(info.st_mode)) {
    return TRUE;
  }
  const mode_t current = info.st_mode & 07777U;
  const mode_t wanted = (dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0
                            ? (current & ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH))
                            : (current | S_IWUSR);
  if (wanted == current) {
    return TRUE;
  }
  return ChangeModeNoFollow(Join(path.dir, actual), info, wanted) ? TRUE : FALSE;
}
