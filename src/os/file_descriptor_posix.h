// The owner of a POSIX file descriptor, closed with close(2). POSIX port only.
#pragma once

#include <unistd.h>

#include "os/unique_handle.h"

namespace velm {

struct FileDescriptorTraits {
  using Handle = int;
  static int none() { return -1; }
  static void close(int fd) { ::close(fd); }
};
using FileDescriptor = UniqueHandle<FileDescriptorTraits>;

}  // namespace velm
