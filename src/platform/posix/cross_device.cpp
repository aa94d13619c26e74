// A move to another file system, as Windows' MoveFileA makes one: a file is copied and the
// original removed; anything else fails. Built so that no step can lose the file: the copy is made
// under no name at all, flushed, given its name only where nothing has that name yet, and the
// source is removed last, only if it is still the file that was copied.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/posix/internal.h"

__attribute__((weak)) bool CrossDeviceStepProceeds(CrossDeviceStep /*step*/) {
  return true;
}

namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) {
      (void)close(fd_);
    }
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

bool CopyContent(int in, int out, off_t size) {
  off_t done = 0;
  while (done < size) {
    const ssize_t copied =
        copy_file_range(in, nullptr, out, nullptr, static_cast<size_t>(size - done), 0);
    if (copied > 0) {
      done += copied;
      continue;
    }
    if (copied < 0 && errno == EINTR) {
      continue;
    }
    if (copied == 0 ||
        (errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP && errno != EINVAL)) {
      return false;  // the file shrank under us, or the copy failed
    }
    // No kernel copy between these file systems: copy through a buffer.
    char buffer[65536];
    const ssize_t got = pread(in, buffer, sizeof buffer, done);
    if (got <= 0) {
      return false;
    }
    for (ssize_t put = 0; put < got;) {
      const ssize_t wrote = pwrite(out, buffer + put, static_cast<size_t>(got - put), done + put);
      if (wrote <= 0) {
        return false;
      }
      put += wrote;
    }
    done += got;
  }
  return true;
}

// Gives the unnamed file `out` the name `name` in `dirFd`; never replaces what is there.
bool LinkInPlace(int out, int dirFd, const std::string& name) {
  if (linkat(out, "", dirFd, name.c_str(), AT_EMPTY_PATH) == 0) {
    return true;
  }
  if (errno != ENOENT && errno != EPERM) {
    return false;  // EEXIST above all: the name was taken meanwhile
  }
  // Without the capability AT_EMPTY_PATH needs, the file is reached through /proc.
  const std::string self = "/proc/self/fd/" + std::to_string(out);
  return linkat(AT_FDCWD, self.c_str(), dirFd, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

bool MoveAcrossDevices(const std::string& from, const std::string& toDir,
                       const std::string& toName) {
  const Fd in(open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat source {};
  if (in.get() < 0 || fstat(in.get(), &source) != 0 || !S_ISREG(source.st_mode)) {
    return false;  // a directory, a link or a device does not cross file systems
  }
  const Fd dir(open(toDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) {
    return false;
  }
  // 1. Copy into a file with no name, which vanishes by itself if anything stops the move.
  if (!CrossDeviceStepProceeds(CrossDeviceStep::Copy)) {
    return false;
  }
  const Fd out(openat(dir.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, S_IRUSR | S_IWUSR));
  if (out.get() < 0 || !CopyContent(in.get(), out.get(), source.st_size) ||
      fchmod(out.get(), source.st_mode & 07777) != 0) {
    return false;
  }
  const struct timespec times[2] = {source.st_atim, source.st_mtim};
  (void)futimens(out.get(), times);
  // 2. Flush it, so that the name given next never points at a partial file.
  if (!CrossDeviceStepProceeds(CrossDeviceStep::Flush) || fsync(out.get()) != 0) {
    return false;
  }
  // 3. Name it, where nothing has that name.
  if (!CrossDeviceStepProceeds(CrossDeviceStep::Place) ||
      !LinkInPlace(out.get(), dir.get(), toName)) {
    return false;
  }
  (void)fsync(dir.get());
  // 4. Remove the source, if it is still the file copied; else take the copy back.
  struct stat now {};
  if (!CrossDeviceStepProceeds(CrossDeviceStep::RemoveSource) || lstat(from.c_str(), &now) != 0 ||
      !SameFile(now, source) || unlink(from.c_str()) != 0) {
    struct stat placed {};
    struct stat copy {};
    if (fstatat(dir.get(), toName.c_str(), &placed, AT_SYMLINK_NOFOLLOW) == 0 &&
        fstat(out.get(), &copy) == 0 && SameFile(placed, copy)) {
      (void)unlinkat(dir.get(), toName.c_str(), 0);
    }
    return false;
  }
  const std::string sourceDir = from.substr(0, from.find_last_of('/') + 1);
  const Fd parent(open(sourceDir.empty() ? "." : sourceDir.c_str(), O_RDONLY | O_DIRECTORY));
  if (parent.get() >= 0) {
    (void)fsync(parent.get());
  }
  return true;
}
