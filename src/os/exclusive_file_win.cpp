#include "os/exclusive_file.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "os/file_move.h"
#include "os/kernel_handle_win.h"
#include "os/os_error.h"

namespace velm {

FILE* openExclusiveForWriting(const std::filesystem::path& path, bool keep) {
  // Share mode "deny write": readers only, no other writer and no delete while it is open. The
  // open of a second launcher fails before it could truncate the first one's download. A link
  // is opened as itself, not followed, and refused before anything is truncated; denying
  // delete keeps the name on this handle while isLink reads its tag.
  KernelHandle handle = ownFileHandle(
      CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!handle) return nullptr;
  FILE_ATTRIBUTE_TAG_INFO info{};
  if (!GetFileInformationByHandleEx(handle.get(), FileAttributeTagInfo, &info, sizeof info)) {
    return nullptr;
  }
  if ((info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && isLink(path)) {
    handle.reset();
    SetLastError(static_cast<DWORD>(linkRefusedError().value()));
    return nullptr;
  }
  if (!keep && !SetEndOfFile(handle.get())) return nullptr;
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle.get()), _O_RDWR | _O_BINARY);
  if (fd == -1) return nullptr;
  handle.release();  // the descriptor owns it now
  FILE* file = _fdopen(fd, "r+b");
  if (file == nullptr) _close(fd);
  return file;
}

bool syncToDisk(FILE* file) { return _commit(_fileno(file)) == 0; }

bool truncateToZero(FILE* file) { return _chsize_s(_fileno(file), 0) == 0; }

}  // namespace velm
