#include "os/folder_lock.h"

#include <thread>

namespace velm {

FolderLock::FolderLock(const std::filesystem::path& file, std::chrono::milliseconds limit,
                       const std::function<void()>& onLongWait) {
  if (file.empty()) return;
  // Neither flock nor an exclusive open has a time-out: the lock is asked for without waiting,
  // again and again, until it is free or the limit has passed.
  constexpr std::chrono::milliseconds kPoll(50);
  const auto start = std::chrono::steady_clock::now();
  bool told = false;
  intptr_t handle = Traits::none();
  for (;;) {
    switch (tryLock(file, handle)) {
      case Attempt::Taken:
        handle_.reset(handle);
        return;
      case Attempt::Impossible:
        return;
      case Attempt::Busy:
        break;
    }
    const auto waited = std::chrono::steady_clock::now() - start;
    if (waited >= limit) {
      timedOut_ = true;
      return;
    }
    if (!told && waited >= kQuietWait) {
      told = true;
      if (onLongWait) onLongWait();
    }
    std::this_thread::sleep_for(kPoll);
  }
}

}  // namespace velm
