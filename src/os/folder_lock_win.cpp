#include "os/folder_lock.h"

#include <windows.h>

#include "os/kernel_handle_win.h"

namespace velm {
namespace {

// Opened by one handle at a time (no sharing), never through a reparse point.
HANDLE openLockFile(const std::filesystem::path& file, DWORD disposition) {
  return CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, disposition,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

}  // namespace

// The file is held open without sharing: every other open fails until the handle is closed,
// which Windows does when the process ends, however it ends. It is opened if it is there and
// made only if it is not, so that a link Wine shows as a plain file (a dangling one too) never
// makes a file where it points.
FolderLock::Attempt FolderLock::tryLock(const std::filesystem::path& file, intptr_t& handle) {
  KernelHandle lock = ownFileHandle(openLockFile(file, OPEN_EXISTING));
  if (!lock && GetLastError() == ERROR_FILE_NOT_FOUND) {
    lock = ownFileHandle(openLockFile(file, CREATE_NEW));
    // Made by another launcher between the two opens: it is there to open now, unless the name
    // is a dangling link.
    if (!lock && GetLastError() == ERROR_FILE_EXISTS) {
      lock = ownFileHandle(openLockFile(file, OPEN_EXISTING));
    }
  }
  if (!lock) return GetLastError() == ERROR_SHARING_VIOLATION ? Attempt::Busy : Attempt::Impossible;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(lock.get()) != FILE_TYPE_DISK || !GetFileInformationByHandle(lock.get(), &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    return Attempt::Impossible;
  }
  handle = reinterpret_cast<intptr_t>(lock.release());
  return Attempt::Taken;
}

void FolderLock::Traits::close(intptr_t handle) { CloseHandle(reinterpret_cast<HANDLE>(handle)); }

}  // namespace velm
