#include "platform/file_move.h"

#include <windows.h>

#include "platform/kernel_handle_win.h"
#include "platform/os_error.h"

namespace velm {

bool flushToDisk(const std::filesystem::path& file, std::error_code& error) {
  const KernelHandle handle = ownFileHandle(CreateFileW(
      file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!handle || !FlushFileBuffers(handle.get())) {
    error = lastError();
    return false;
  }
  error.clear();
  return true;
}

bool moveReplacing(const std::filesystem::path& source, const std::filesystem::path& target,
                   std::error_code& error) {
  if (MoveFileExW(source.c_str(), target.c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
    error.clear();
    return true;
  }
  error = lastError();
  return false;
}

}  // namespace velm
