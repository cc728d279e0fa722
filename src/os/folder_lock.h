// One launcher at a time per game folder. A double click starts two launchers; the second waits
// while the first changes files there, then finds the work done, instead of writing into the
// first one's downloads or removing them. The lock is a file the launcher makes for itself, which
// no other account can open: a lock on the game folder itself could be taken by any account that
// can read the folder, and would hold every start up for good.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>

#include "os/unique_handle.h"

namespace velm {

class FolderLock {
 public:
  // How long a launcher waits before it says why it waits.
  static constexpr std::chrono::milliseconds kQuietWait{1000};
  // How long it waits at all: a lock held longer is taken to be held for good.
  static constexpr std::chrono::milliseconds kLongestWait{120000};

  // No lock: a run that goes on unlocked.
  FolderLock() = default;
  // Takes the lock file at path, made if missing: on POSIX a plain file only its owner may open,
  // on Windows opened by one launcher at a time. Waits while another launcher holds it; when that
  // takes longer than kQuietWait, calls onLongWait (if given) once and waits on, up to limit in
  // all (then timedOut()). Where no lock can be had at all (an empty path, a file that cannot be
  // made, or one that is a link, not a plain file, or another account's; a file system without
  // locks) the run goes on without one, as a single launcher would.
  explicit FolderLock(const std::filesystem::path& file, std::chrono::milliseconds limit,
                      const std::function<void()>& onLongWait = nullptr);

  bool held() const { return static_cast<bool>(handle_); }
  // Another holder kept the lock past the limit: the run must change nothing.
  bool timedOut() const { return timedOut_; }

 private:
  // A file descriptor (flock) or a file HANDLE (opened exclusively); closing it releases the
  // lock, also when the process is killed.
  struct Traits {
    using Handle = intptr_t;
    static intptr_t none() { return -1; }
    static void close(intptr_t handle);
  };
  enum class Attempt { Taken, Busy, Impossible };
  // One try at the lock, the platform's part: fills handle when taken.
  static Attempt tryLock(const std::filesystem::path& file, intptr_t& handle);

  UniqueHandle<Traits> handle_;
  bool timedOut_ = false;
};

}  // namespace velm
