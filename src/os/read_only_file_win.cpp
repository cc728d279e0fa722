#include "os/read_only_file.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "os/kernel_handle_win.h"

namespace velm {

ReadOnlyFile openReadOnly(const std::filesystem::path& path, Links links) {
  const bool follow = links == Links::Follow;
  const DWORD refused = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE |
                        (follow ? 0 : FILE_ATTRIBUTE_REPARSE_POINT);
  // Wine answers this for plain files and folders alone, not for a FIFO or device, which is
  // then never opened.
  WIN32_FILE_ATTRIBUTE_DATA attributes;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes) ||
      (attributes.dwFileAttributes & refused) != 0) {
    return nullptr;
  }
  // A handle that is not inheritable, as the C runtime's "N" mode gives.
  KernelHandle file = ownFileHandle(CreateFileW(
      path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
      FILE_ATTRIBUTE_NORMAL | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr));
  // Not GetFileInformationByHandle: its volume serial costs Wine about 0.7 ms a file, as much
  // as reading a small file whole.
  FILE_BASIC_INFO info;
  if (!file || GetFileType(file.get()) != FILE_TYPE_DISK ||
      !GetFileInformationByHandleEx(file.get(), FileBasicInfo, &info, sizeof info) ||
      (info.FileAttributes & refused) != 0) {
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file.get()), _O_RDONLY | _O_BINARY);
  if (fd == -1) return nullptr;
  file.release();  // the descriptor closes it now
  std::FILE* stream = _fdopen(fd, "rb");
  if (stream == nullptr) {
    _close(fd);
    return nullptr;
  }
  return ReadOnlyFile(stream);
}

}  // namespace velm
