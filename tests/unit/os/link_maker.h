// Links for the tests of code that must refuse them: a symbolic link on the POSIX port; on
// Windows a symbolic link for a file (it needs the privilege or developer mode) and a junction
// for a folder (it needs none). Wine 8 makes neither, CreateSymbolicLinkW does nothing there and
// FSCTL_SET_REPARSE_POINT is not supported, so the tests that need a link skip under Wine.
#pragma once

#include <filesystem>
#include <string>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <vector>
#endif

namespace velm {

#ifdef _WIN32

// The link's own attributes, not those of what it leads to.
inline bool isLinkOnDisk(const std::filesystem::path& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// The mount point layout of REPARSE_DATA_BUFFER, which only the driver kit's headers declare.
inline bool makeJunction(const std::filesystem::path& link, const std::filesystem::path& target) {
  if (!CreateDirectoryW(link.c_str(), nullptr)) return false;
  HANDLE handle = CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const std::wstring substitute = L"\\??\\" + std::filesystem::absolute(target).wstring();
  const std::wstring print = std::filesystem::absolute(target).wstring();
  const size_t names = (substitute.size() + 1 + print.size() + 1) * sizeof(wchar_t);
  std::vector<char> buffer(16 + names);
  auto put16 = [&](size_t at, size_t value) {
    const uint16_t v = static_cast<uint16_t>(value);
    std::memcpy(buffer.data() + at, &v, 2);
  };
  const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
  std::memcpy(buffer.data(), &tag, 4);
  put16(4, 8 + names);                                   // ReparseDataLength
  put16(8, 0);                                           // SubstituteNameOffset
  put16(10, substitute.size() * sizeof(wchar_t));        // SubstituteNameLength
  put16(12, (substitute.size() + 1) * sizeof(wchar_t));  // PrintNameOffset
  put16(14, print.size() * sizeof(wchar_t));             // PrintNameLength
  std::memcpy(buffer.data() + 16, substitute.c_str(), (substitute.size() + 1) * sizeof(wchar_t));
  std::memcpy(buffer.data() + 16 + (substitute.size() + 1) * sizeof(wchar_t), print.c_str(),
              (print.size() + 1) * sizeof(wchar_t));
  DWORD returned = 0;
  const BOOL set =
      DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, buffer.data(),
                      static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr);
  CloseHandle(handle);
  if (!set) RemoveDirectoryW(link.c_str());
  return set && isLinkOnDisk(link);
}

// True when link is now a link to the file target.
inline bool makeFileLink(const std::filesystem::path& link, const std::filesystem::path& target) {
  const std::wstring to = std::filesystem::absolute(target).wstring();
  // Developer mode lets anyone make one with this flag; older systems refuse the flag itself.
  if (!CreateSymbolicLinkW(link.c_str(), to.c_str(), 0x2 /* ALLOW_UNPRIVILEGED_CREATE */)) {
    CreateSymbolicLinkW(link.c_str(), to.c_str(), 0);
  }
  return isLinkOnDisk(link);
}

// True when link is now a link to the folder target.
inline bool makeFolderLink(const std::filesystem::path& link, const std::filesystem::path& target) {
  return makeJunction(link, target);
}

#else

inline bool isLinkOnDisk(const std::filesystem::path& path) {
  return std::filesystem::is_symlink(path);
}

inline bool makeFileLink(const std::filesystem::path& link, const std::filesystem::path& target) {
  std::error_code error;
  std::filesystem::create_symlink(target, link, error);
  return !error && isLinkOnDisk(link);
}

inline bool makeFolderLink(const std::filesystem::path& link, const std::filesystem::path& target) {
  std::error_code error;
  std::filesystem::create_directory_symlink(target, link, error);
  return !error && isLinkOnDisk(link);
}

#endif

inline constexpr char kNoLinksHere[] = "this system makes no links (Wine 8 makes none)";

}  // namespace velm
