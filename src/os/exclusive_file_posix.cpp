#include "os/exclusive_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "os/file_descriptor_posix.h"

namespace velm {
namespace {

// Locked against every other launcher, blocking again, as a stream; or null.
FILE* lockedStream(FileDescriptor fd) {
  if (!fd || flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return nullptr;
  const int flags = fcntl(fd.get(), F_GETFL);
  if (flags == -1 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return nullptr;
  FILE* file = fdopen(fd.get(), "r+b");
  if (file != nullptr) fd.release();  // the stream owns it now
  return file;
}

}  // namespace

FILE* openKnownForWriting(const std::filesystem::path& path, const FileIdentity& known) {
  // O_NONBLOCK: a FIFO put at the name since it was looked at never blocks the open.
  FileDescriptor fd(::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat info;
  if (!fd || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1 ||
      static_cast<uint64_t>(info.st_dev) != known.volume ||
      static_cast<uint64_t>(info.st_ino) != known.index) {
    return nullptr;
  }
  return lockedStream(std::move(fd));
}

FILE* createForWriting(const std::filesystem::path& path, FileIdentity& identity) {
  FileDescriptor fd(
      ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
  struct stat info;
  if (!fd || fstat(fd.get(), &info) != 0) return nullptr;
  identity.volume = static_cast<uint64_t>(info.st_dev);
  identity.index = static_cast<uint64_t>(info.st_ino);
  return lockedStream(std::move(fd));
}

bool heldByAnotherWriter(const std::filesystem::path& path) {
  // Only a regular file is opened: a device's open may have effects of its own.
  struct stat info;
  if (lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  return flock(fd.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

bool truncateToZero(FILE* file) { return ftruncate(fileno(file), 0) == 0; }

bool seekTo(FILE* file, uint64_t offset) {
  return offset <= uint64_t(INT64_MAX) && fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

bool syncToDisk(FILE* file) {
  // A device that keeps nothing to sync says so with EINVAL.
  return fsync(fileno(file)) == 0 || errno == EINVAL;
}

}  // namespace velm
