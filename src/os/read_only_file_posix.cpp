#include "os/read_only_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "os/file_descriptor_posix.h"

namespace velm {

ReadOnlyFile openReadOnly(const std::filesystem::path& path, Links links) {
  const bool follow = links == Links::Follow;
  // Anything but a plain file is left alone before it is opened; one that takes its place in
  // between is opened without waiting (O_NONBLOCK) and let go.
  struct stat info;
  if ((follow ? ::stat(path.c_str(), &info) : ::lstat(path.c_str(), &info)) != 0 ||
      !S_ISREG(info.st_mode)) {
    return nullptr;
  }
  FileDescriptor fd(::open(
      path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW)));
  if (!fd || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return nullptr;
  const int status = fcntl(fd.get(), F_GETFL);
  if (status == -1 || fcntl(fd.get(), F_SETFL, status & ~O_NONBLOCK) == -1) return nullptr;
  std::FILE* file = fdopen(fd.get(), "rb");
  if (file == nullptr) return nullptr;
  fd.release();  // the stream closes it now
  return ReadOnlyFile(file);
}

}  // namespace velm
