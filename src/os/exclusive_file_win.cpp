#include "os/exclusive_file.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "os/kernel_handle_win.h"

namespace velm {
namespace {

// The handle as a stdio stream that owns it, or null.
FILE* streamOf(KernelHandle handle) {
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle.get()), _O_RDWR | _O_BINARY);
  if (fd == -1) return nullptr;
  handle.release();  // the descriptor owns it now
  FILE* file = _fdopen(fd, "r+b");
  if (file == nullptr) _close(fd);
  return file;
}

// Share mode "deny write": readers only, no other writer and no delete while it is open, so a
// second launcher's open fails before it could touch the first one's download.
KernelHandle openForWriting(const std::filesystem::path& path, DWORD disposition) {
  return ownFileHandle(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                   nullptr, disposition,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

bool identityOf(HANDLE handle, FileIdentity& identity, DWORD& links, DWORD& attributes) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info)) {
    return false;
  }
  identity.volume = info.dwVolumeSerialNumber;
  identity.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  links = info.nNumberOfLinks;
  attributes = info.dwFileAttributes;
  return true;
}

}  // namespace

FILE* openKnownForWriting(const std::filesystem::path& path, const FileIdentity& known) {
  // Under Wine the open follows a Unix link to its file: the identity tells that file apart.
  FileIdentity identity;
  if (!plainFileIdentity(path, identity) || identity != known) return nullptr;
  KernelHandle handle = openForWriting(path, OPEN_EXISTING);
  DWORD links = 0;
  DWORD attributes = 0;
  if (!handle || !identityOf(handle.get(), identity, links, attributes) || identity != known ||
      links != 1 || (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    return nullptr;
  }
  return streamOf(std::move(handle));
}

FILE* createForWriting(const std::filesystem::path& path, FileIdentity& identity) {
  KernelHandle handle = openForWriting(path, CREATE_NEW);
  DWORD links = 0;
  DWORD attributes = 0;
  if (!handle || !identityOf(handle.get(), identity, links, attributes)) return nullptr;
  return streamOf(std::move(handle));
}

// Sharing keeps a second writer out on Windows: the name cannot be freed while it writes.
bool heldByAnotherWriter(const std::filesystem::path&) { return false; }

bool syncToDisk(FILE* file) { return _commit(_fileno(file)) == 0; }

bool truncateToZero(FILE* file) { return _chsize_s(_fileno(file), 0) == 0; }

bool seekTo(FILE* file, uint64_t offset) {
  return offset <= uint64_t(INT64_MAX) &&
         _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
}

}  // namespace velm
