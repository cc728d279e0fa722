// The owner of a Kernel32 HANDLE (a file, a process, a thread, a mutex), closed with
// CloseHandle. Windows only.
#pragma once

#include <windows.h>

#include "os/unique_handle.h"

namespace velm {

struct KernelHandleTraits {
  using Handle = HANDLE;
  static HANDLE none() { return nullptr; }
  static void close(HANDLE handle) { CloseHandle(handle); }
};
using KernelHandle = UniqueHandle<KernelHandleTraits>;

// CreateFileW answers INVALID_HANDLE_VALUE, not null, when it fails.
inline KernelHandle ownFileHandle(HANDLE handle) {
  return KernelHandle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}

}  // namespace velm
