#include "os/folder_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "os/file_descriptor_posix.h"

namespace velm {

// The lock is on the folder itself, so no file is added to the game folder; the system drops it
// when the process ends, however it ends.
FolderLock::FolderLock(const std::filesystem::path& folder, NameDigest digest,
                       const std::function<void()>& onLongWait) {
  (void)digest;  // the lock is the folder's own
  if (folder.empty()) return;
  FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return;
  // flock has no time-out: it is asked without blocking until the quiet wait is over.
  constexpr std::chrono::milliseconds kPoll(50);
  const auto quietUntil = std::chrono::steady_clock::now() + kQuietWait;
  int locked = flock(fd.get(), LOCK_EX | LOCK_NB);
  while (locked != 0 && (errno == EWOULDBLOCK || errno == EINTR) &&
         std::chrono::steady_clock::now() < quietUntil) {
    std::this_thread::sleep_for(kPoll);
    locked = flock(fd.get(), LOCK_EX | LOCK_NB);
  }
  if (locked != 0 && errno == EWOULDBLOCK) {
    if (onLongWait) onLongWait();
    do {
      locked = flock(fd.get(), LOCK_EX);
    } while (locked != 0 && errno == EINTR);
  }
  if (locked == 0) handle_.reset(fd.release());
}

void FolderLock::Traits::close(intptr_t handle) { ::close(static_cast<int>(handle)); }

}  // namespace velm
