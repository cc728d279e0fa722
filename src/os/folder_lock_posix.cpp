#include "os/folder_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "os/file_descriptor_posix.h"

namespace velm {

// Owner-only, so that no other account can open the file to flock it; never through a link,
// nor a FIFO or device in its place. The system drops the lock when the process ends, however
// it ends; the file stays for the next run.
FolderLock::Attempt FolderLock::tryLock(const std::filesystem::path& file, intptr_t& handle) {
  FileDescriptor fd(::open(file.c_str(),
                           O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                           S_IRUSR | S_IWUSR));
  if (!fd) return Attempt::Impossible;
  struct stat info;
  if (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
    return Attempt::Impossible;
  }
  // Made open to others by someone else (a file system that cannot close it keeps it as it is).
  if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) (void)fchmod(fd.get(), S_IRUSR | S_IWUSR);
  if (flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
    handle = fd.release();
    return Attempt::Taken;
  }
  return errno == EWOULDBLOCK || errno == EINTR ? Attempt::Busy : Attempt::Impossible;
}

void FolderLock::Traits::close(intptr_t handle) { ::close(static_cast<int>(handle)); }

}  // namespace velm
