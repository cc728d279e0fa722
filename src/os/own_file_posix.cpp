#include "os/own_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "os/os_error.h"

namespace velm {

bool plainFileIdentity(const std::filesystem::path& path, FileIdentity& identity) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1) {
    return false;
  }
  identity.volume = static_cast<uint64_t>(info.st_dev);
  identity.index = static_cast<uint64_t>(info.st_ino);
  return true;
}

bool clearName(const std::filesystem::path& path, const std::filesystem::path& asideFolder,
               std::error_code& error) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return systemResult(errno == ENOENT, error);
  // unlink never follows a link, and a regular file with one name reaches nothing else.
  if (S_ISREG(info.st_mode) && info.st_nlink == 1) return dropName(path, error);
  if (asideFolder.empty()) {
    error = linkRefusedError();
    return false;
  }
  return moveAside(path, asideFolder, error);
}

bool dropName(const std::filesystem::path& path, std::error_code& error) {
  return systemResult(unlink(path.c_str()) == 0 || errno == ENOENT, error);
}

bool renameNoReplace(const std::filesystem::path& source, const std::filesystem::path& target,
                     std::error_code& error) {
  if (renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
    error.clear();
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS) return systemResult(false, error);
  // A file system without the flag: a test first, which only a race could make wrong.
  struct stat info;
  if (lstat(target.c_str(), &info) == 0) {
    error = std::error_code(EEXIST, std::generic_category());
    return false;
  }
  return systemResult(std::rename(source.c_str(), target.c_str()) == 0, error);
}

bool isExistsError(const std::error_code& error) { return error == std::errc::file_exists; }

}  // namespace velm
