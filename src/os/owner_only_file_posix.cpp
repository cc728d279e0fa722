#include "os/owner_only_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "os/file_descriptor_posix.h"
#include "os/os_error.h"

namespace velm {
namespace {

bool writeAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    const ssize_t written = ::write(fd, data, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    length -= static_cast<size_t>(written);
  }
  return true;
}

}  // namespace

bool writeNewOwnerOnlyFile(const std::filesystem::path& path, const std::string& bytes,
                           std::error_code& error, bool& created) {
  // O_EXCL: an existing file (perhaps the key every shipped launcher trusts) is never lost.
  FileDescriptor fd(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  created = static_cast<bool>(fd);
  if (!created) {
    error = lastError();
    return false;
  }
  // The umask may only take bits away; set the mode exactly in case it took the owner's.
  bool ok = ::fchmod(fd.get(), 0600) == 0 && writeAll(fd.get(), bytes.data(), bytes.size()) &&
            ::fsync(fd.get()) == 0;
  if (!ok) error = lastError();
  if (::close(fd.release()) != 0 && ok) {
    ok = false;
    error = lastError();
  }
  if (!ok) ::unlink(path.c_str());
  return ok;
}

OwnerOnlyRead readOwnerOnlyFile(const std::filesystem::path& path, std::string& bytes,
                                uint32_t& mode, std::error_code& error) {
  bytes.clear();
  // O_NONBLOCK: a FIFO in the key's place must not hold the tool until a writer comes.
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat info;
  if (!fd || ::fstat(fd.get(), &info) != 0) {
    error = lastError();
    return OwnerOnlyRead::NotRead;
  }
  mode = static_cast<uint32_t>(info.st_mode & 07777);
  if (!S_ISREG(info.st_mode)) {
    error = std::error_code(S_ISDIR(info.st_mode) ? EISDIR : EINVAL, std::system_category());
    return OwnerOnlyRead::NotRead;
  }
  if ((info.st_mode & 077) != 0) return OwnerOnlyRead::OpenToOthers;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      error = lastError();
      bytes.clear();
      return OwnerOnlyRead::NotRead;
    }
    if (got == 0) return OwnerOnlyRead::Ok;
    bytes.append(buffer, static_cast<size_t>(got));
  }
}

}  // namespace velm
