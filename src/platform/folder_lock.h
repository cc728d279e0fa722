// One launcher at a time per game folder. A double click starts two launchers; the second waits
// while the first changes files there, then finds the work done, instead of writing into the
// first one's downloads or removing them.
#pragma once

#include <cstdint>
#include <string>

namespace velm {

class FolderLock {
 public:
  // Waits until no other launcher holds the folder (a UTF-8 path). Where no lock can be had at
  // all (a folder that cannot be opened, a file system without locks) the run goes on without
  // one, as a single launcher would.
  explicit FolderLock(const std::string& folder);
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

  bool held() const { return handle_ != kNone; }

 private:
  static constexpr intptr_t kNone = -1;
  intptr_t handle_ = kNone;  // a file descriptor, or a mutex HANDLE
};

}  // namespace velm
