#include "os/own_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include "os/os_error.h"

namespace velm {

const char kFileStampKind[] = "posix";

bool plainFileStamp(const std::filesystem::path& path, FileStamp& stamp) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1) {
    return false;
  }
  constexpr int64_t kNanoseconds = 1000000000;
  stamp.size = static_cast<uint64_t>(info.st_size);
  stamp.writeTime = static_cast<int64_t>(info.st_mtim.tv_sec) * kNanoseconds + info.st_mtim.tv_nsec;
  stamp.changeTime =
      static_cast<int64_t>(info.st_ctim.tv_sec) * kNanoseconds + info.st_ctim.tv_nsec;
  stamp.identity.volume = static_cast<uint64_t>(info.st_dev);
  stamp.identity.index = static_cast<uint64_t>(info.st_ino);
  return true;
}

// One lstat a file is already about as cheap as a listing.
struct FolderStamps::Listings {};
FolderStamps::FolderStamps() = default;
FolderStamps::~FolderStamps() = default;

bool FolderStamps::stampOf(const std::filesystem::path& path, FileStamp& stamp) {
  return plainFileStamp(path, stamp);
}

int64_t fileTimeResolution(const std::filesystem::path& folder) {
  constexpr int64_t kSecond = 1000000000;
  // From linux/magic.h: vfat and msdos share one; exFAT keeps 10 ms but FAT's 2 s for some times.
  constexpr unsigned long kMsdosMagic = 0x4d44;
  constexpr unsigned long kExfatMagic = 0x2011BAB0;
  struct statfs info;
  if (statfs(folder.c_str(), &info) != 0) return 2 * kSecond;
  const unsigned long type = static_cast<unsigned long>(info.f_type);
  return type == kMsdosMagic || type == kExfatMagic ? 2 * kSecond : kSecond;
}

bool plainFileIdentity(const std::filesystem::path& path, FileIdentity& identity) {
  FileStamp stamp;
  if (!plainFileStamp(path, stamp)) return false;
  identity = stamp.identity;
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
