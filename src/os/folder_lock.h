// One launcher at a time per game folder. A double click starts two launchers; the second waits
// while the first changes files there, then finds the work done, instead of writing into the
// first one's downloads or removing them.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "os/unique_handle.h"

namespace velm {

class FolderLock {
 public:
  // How long a launcher waits before it says why it waits.
  static constexpr std::chrono::milliseconds kQuietWait{1000};

  // A short text for a long one, the same in every launcher build: Windows names its lock by the
  // digest of the folder's full path, which a lock's name could not hold.
  using NameDigest = std::string (*)(const std::string& text);

  // Waits until no other launcher holds the folder; when that takes longer than kQuietWait,
  // calls onLongWait (if given) once and waits on. Where no lock can be had at all (an empty
  // path, a folder that cannot be opened, a file system without locks) the run goes on without
  // one, as a single launcher would.
  FolderLock(const std::filesystem::path& folder, NameDigest digest,
             const std::function<void()>& onLongWait = nullptr);

  bool held() const { return static_cast<bool>(handle_); }

 private:
  // A file descriptor on the folder, or a mutex HANDLE; closing it releases the lock.
  struct Traits {
    using Handle = intptr_t;
    static intptr_t none() { return -1; }
    static void close(intptr_t handle);
  };
  UniqueHandle<Traits> handle_;
};

}  // namespace velm
