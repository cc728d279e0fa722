#include "os/folder_lock.h"

#include <windows.h>

#include <string>

#include "os/kernel_handle_win.h"
#include "text/text.h"

namespace velm {
namespace {

// A named mutex leaves nothing in the game folder, and a launcher that is killed abandons it,
// which hands it to the next. Its name is a digest of the full path in upper case, since one
// folder has many spellings and a mutex name may not hold a backslash.
std::wstring mutexName(const std::filesystem::path& folder, FolderLock::NameDigest digest) {
  const std::wstring& wide = folder.native();
  DWORD length = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (length == 0) return std::wstring();
  std::wstring full(length, L'\0');
  length = GetFullPathNameW(wide.c_str(), length, &full[0], nullptr);
  if (length == 0 || length >= full.size()) return std::wstring();
  full.resize(length);
  while (full.size() > 3 && (full.back() == L'\\' || full.back() == L'/')) full.pop_back();
  CharUpperBuffW(&full[0], static_cast<DWORD>(full.size()));
  return L"Velm Co-op folder " + utf8ToWide(digest(wideToUtf8(full)));
}

}  // namespace

FolderLock::FolderLock(const std::filesystem::path& folder, NameDigest digest,
                       const std::function<void()>& onLongWait) {
  if (folder.empty()) return;
  const std::wstring name = mutexName(folder, digest);
  if (name.empty()) return;
  KernelHandle mutex(CreateMutexW(nullptr, FALSE, name.c_str()));
  if (!mutex) return;
  DWORD waited = WaitForSingleObject(mutex.get(), static_cast<DWORD>(kQuietWait.count()));
  if (waited == WAIT_TIMEOUT) {
    if (onLongWait) onLongWait();
    waited = WaitForSingleObject(mutex.get(), INFINITE);
  }
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
    handle_.reset(reinterpret_cast<intptr_t>(mutex.release()));
  }
}

void FolderLock::Traits::close(intptr_t handle) {
  HANDLE mutex = reinterpret_cast<HANDLE>(handle);
  ReleaseMutex(mutex);
  CloseHandle(mutex);
}

}  // namespace velm
