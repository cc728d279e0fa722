#include "platform/file_move.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/file_descriptor_posix.h"
#include "platform/os_error.h"

namespace velm {

namespace {

// fsync of one path, opened read-only (enough for both files and folders on Linux).
bool syncPath(const char* path, std::error_code& error) {
  const FileDescriptor fd(open(path, O_RDONLY | O_CLOEXEC));
  if (!fd || fsync(fd.get()) != 0) {
    error = lastError();
    return false;
  }
  error.clear();
  return true;
}

}  // namespace

bool flushToDisk(const std::filesystem::path& file, std::error_code& error) {
  return syncPath(file.c_str(), error);
}

bool moveReplacing(const std::filesystem::path& source, const std::filesystem::path& target,
                   std::error_code& error) {
  if (std::rename(source.c_str(), target.c_str()) == 0) {
    // The new name itself is durable only once its folder is; a failure here is not the move's.
    std::error_code ignored;
    const std::filesystem::path folder = target.parent_path();
    syncPath(folder.empty() ? "." : folder.c_str(), ignored);
    error.clear();
    return true;
  }
  if (errno != EXDEV) {
    error = lastError();
    return false;
  }
  // Across file systems: copy next to nothing else, then drop the source, as a copy-allowed move.
  std::filesystem::copy_file(source, target, std::filesystem::copy_options::overwrite_existing,
                             error);
  if (error || !flushToDisk(target, error)) return false;
  std::filesystem::remove(source, error);
  return !error;
}

}  // namespace velm
