#include "os/exclusive_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "os/file_descriptor_posix.h"

namespace velm {

FILE* openExclusiveForWriting(const std::filesystem::path& path, bool keep) {
  // Open without truncating, lock, and only then truncate: a second launcher that finds the
  // file locked leaves the first one's bytes alone. A symbolic link is refused (ELOOP), never
  // followed to the file it names.
  FileDescriptor fd(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd) return nullptr;
  struct stat info;
  // A device has nothing to truncate.
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0 || fstat(fd.get(), &info) != 0 ||
      (!keep && S_ISREG(info.st_mode) && ftruncate(fd.get(), 0) != 0)) {
    return nullptr;
  }
  FILE* file = fdopen(fd.get(), "r+b");
  if (file != nullptr) fd.release();  // the stream owns it now
  return file;
}

bool truncateToZero(FILE* file) { return ftruncate(fileno(file), 0) == 0; }

bool syncToDisk(FILE* file) {
  // A device that keeps nothing to sync says so with EINVAL.
  return fsync(fileno(file)) == 0 || errno == EINVAL;
}

}  // namespace velm
