#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/exclusive_file.h"

namespace velm {

FILE* openExclusiveForWriting(const std::filesystem::path& path) {
  // Open without truncating, lock, and only then truncate: a second launcher that finds the
  // file locked leaves the first one's bytes alone.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  struct stat info;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 || fstat(fd, &info) != 0 ||
      (S_ISREG(info.st_mode) && ftruncate(fd, 0) != 0)) {  // a device has nothing to truncate
    ::close(fd);
    return nullptr;
  }
  FILE* file = fdopen(fd, "wb");
  if (file == nullptr) ::close(fd);
  return file;
}

}  // namespace velm
