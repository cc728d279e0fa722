#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/file_descriptor_posix.h"
#include "platform/folder_lock.h"

namespace velm {

// The lock is on the folder itself, so no file is added to the game folder; the system drops it
// when the process ends, however it ends.
FolderLock::FolderLock(const std::string& folder) {
  if (folder.empty()) return;
  FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return;
  int locked;
  do {
    locked = flock(fd.get(), LOCK_EX);
  } while (locked != 0 && errno == EINTR);
  if (locked == 0) handle_.reset(fd.release());
}

void FolderLock::Traits::close(intptr_t handle) { ::close(static_cast<int>(handle)); }

}  // namespace velm
