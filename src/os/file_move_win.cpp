#include "os/file_move.h"

#include <windows.h>

#include "os/kernel_handle_win.h"
#include "os/os_error.h"
#include "os/own_file.h"

namespace velm {

bool removeFile(const std::filesystem::path& path, std::error_code& error) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return systemResult(
        GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND, error);
  }
  // A file that shows as a link is one of Windows itself, which DeleteFileW removes, not what
  // it leads to; under Wine a Unix link shows as a plain file and is dropped by name.
  if ((attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ==
      FILE_ATTRIBUTE_REPARSE_POINT) {
    return systemResult(DeleteFileW(path.c_str()) != 0, error);
  }
  return dropName(path, error);
}

bool removeFolder(const std::filesystem::path& path, std::error_code& error) {
  // Wine's RemoveDirectoryW removes the folder a Unix folder link leads to, when empty; such a
  // link shows only by this attribute, as Windows' own junctions do. Both stay.
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    error = linkRefusedError();
    return false;
  }
  return systemResult(RemoveDirectoryW(path.c_str()) != 0, error);
}

bool hardLink(const std::filesystem::path& file, const std::filesystem::path& link,
              std::error_code& error) {
  // Every name of a file that another program holds without delete sharing is stuck: the file
  // could not be replaced, nor a second name for it removed again. Asking for the right to
  // delete it first makes a held file fail here, before there is a name to clean up.
  const KernelHandle probe = ownFileHandle(
      CreateFileW(file.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  return systemResult(probe && CreateHardLinkW(link.c_str(), file.c_str(), nullptr), error);
}

bool copyToDisk(const std::filesystem::path& file, const std::filesystem::path& copy,
                std::error_code& error) {
  // The caller removed copy: COPY_FILE_FAIL_IF_EXISTS keeps a link planted since then.
  if (!CopyFileExW(file.c_str(), copy.c_str(), nullptr, nullptr, nullptr,
                   COPY_FILE_FAIL_IF_EXISTS)) {
    error = lastError();
    return false;
  }
  return flushToDisk(copy, error);
}

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

bool isLink(const std::filesystem::path& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return false;
  }
  // Cloud files (OneDrive) and deduplicated files are reparse points too, with their data in
  // place; only a name surrogate (symbolic link, junction, mount point) leads elsewhere. A tag
  // that cannot be read counts as a link: Wine shows a linked folder's attribute but no tag.
  const KernelHandle handle = ownFileHandle(CreateFileW(
      path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  FILE_ATTRIBUTE_TAG_INFO info{};
  if (!handle ||
      !GetFileInformationByHandleEx(handle.get(), FileAttributeTagInfo, &info, sizeof info)) {
    return true;
  }
  return info.ReparseTag == 0 || IsReparseTagNameSurrogate(info.ReparseTag);
}

bool flushFolder(const std::filesystem::path&, std::error_code& error) {
  error.clear();
  return true;
}

bool renameReplacing(const std::filesystem::path& source, const std::filesystem::path& target,
                     MoveScope scope, MoveSync, std::error_code& error) {
  const DWORD copy = scope == MoveScope::PackageFolder ? MOVEFILE_COPY_ALLOWED : 0;
  if (MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | copy)) {
    error.clear();
    return true;
  }
  error = lastError();
  return false;
}

}  // namespace velm
