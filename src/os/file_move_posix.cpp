#include "os/file_move.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "os/file_descriptor_posix.h"
#include "os/os_error.h"

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

bool writeAll(int fd, const char* data, ssize_t length) {
  while (length > 0) {
    const ssize_t written = write(fd, data, static_cast<size_t>(length));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    length -= written;
  }
  return true;
}

// Across file systems: source's bytes and mode into target, on disk when it returns. Neither
// name is followed if it has become a link since moveReplacing looked.
bool copyOver(const char* source, const char* target, std::error_code& error) {
  const FileDescriptor in(open(source, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat info;
  if (!in || fstat(in.get(), &info) != 0) {
    error = lastError();
    return false;
  }
  const FileDescriptor out(
      open(target, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, info.st_mode & 07777));
  if (!out || fchmod(out.get(), info.st_mode & 07777) != 0) {
    error = lastError();
    return false;
  }
  char buffer[65536];
  for (;;) {
    const ssize_t got = read(in.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got == 0) break;
    if (got < 0 || !writeAll(out.get(), buffer, got)) {
      error = lastError();
      return false;
    }
  }
  if (fsync(out.get()) != 0) {
    error = lastError();
    return false;
  }
  error.clear();
  return true;
}

}  // namespace

bool removeFile(const std::filesystem::path& path, std::error_code& error) {
  return systemResult(unlink(path.c_str()) == 0 || errno == ENOENT, error);
}

bool removeFolder(const std::filesystem::path& path, std::error_code& error) {
  // rmdir refuses a symbolic link to a folder; unlink removes the link.
  return systemResult(rmdir(path.c_str()) == 0 || (errno == ENOTDIR && unlink(path.c_str()) == 0),
                      error);
}

bool hardLink(const std::filesystem::path& file, const std::filesystem::path& link,
              std::error_code& error) {
  return systemResult(::link(file.c_str(), link.c_str()) == 0, error);
}

bool copyToDisk(const std::filesystem::path& file, const std::filesystem::path& copy,
                std::error_code& error) {
  return copyOver(file.c_str(), copy.c_str(), error);
}

bool flushToDisk(const std::filesystem::path& file, std::error_code& error) {
  return syncPath(file.c_str(), error);
}

bool flushFolder(const std::filesystem::path& folder, std::error_code& error) {
  return syncPath(folder.empty() ? "." : folder.c_str(), error);
}

bool isLink(const std::filesystem::path& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

bool renameReplacing(const std::filesystem::path& source, const std::filesystem::path& target,
                     MoveScope scope, MoveSync sync, std::error_code& error) {
  // A rename between two names of one file does nothing and succeeds, which would leave the
  // source's name behind (a build kept aside by a second name, a backup never needed).
  struct stat from, to;
  if (lstat(source.c_str(), &from) == 0 && lstat(target.c_str(), &to) == 0 &&
      from.st_dev == to.st_dev && from.st_ino == to.st_ino) {
    return removeFile(source, error);
  }
  if (std::rename(source.c_str(), target.c_str()) == 0) {
    // The new name itself is durable only once its folder is; a failure here is not the move's.
    std::error_code ignored;
    if (sync == MoveSync::Now) (void)flushFolder(target.parent_path(), ignored);
    error.clear();
    return true;
  }
  if (errno != EXDEV || scope != MoveScope::PackageFolder) {
    error = lastError();
    return false;
  }
  // Then drop the source, as a copy-allowed move does.
  if (!copyOver(source.c_str(), target.c_str(), error)) return false;
  std::filesystem::remove(source, error);
  return !error;
}

}  // namespace velm
