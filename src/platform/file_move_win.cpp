#include "platform/file_move.h"

#include <windows.h>

#include "text/text.h"

namespace velm {

bool flushToDisk(const std::filesystem::path& file, std::error_code& error) {
  HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    error = std::error_code(static_cast<int>(GetLastError()), std::system_category());
    return false;
  }
  const bool flushed = FlushFileBuffers(handle) != 0;
  if (!flushed) error = std::error_code(static_cast<int>(GetLastError()), std::system_category());
  CloseHandle(handle);
  if (flushed) error.clear();
  return flushed;
}

bool moveReplacing(const std::filesystem::path& source, const std::filesystem::path& target,
                   std::error_code& error) {
  if (!flushToDisk(source, error)) return false;
  if (MoveFileExW(source.c_str(), target.c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
    error.clear();
    return true;
  }
  error = std::error_code(static_cast<int>(GetLastError()), std::system_category());
  return false;
}

std::string systemErrorMessage(const std::error_code& error) {
  const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                      FORMAT_MESSAGE_IGNORE_INSERTS;
  const DWORD code = static_cast<DWORD>(error.value());
  wchar_t* buffer = nullptr;
  DWORD length = FormatMessageW(flags, nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (length == 0) {
    length = FormatMessageW(flags, nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0,
                            nullptr);
  }
  std::wstring text = length != 0 && buffer ? std::wstring(buffer, length) : std::wstring();
  if (buffer) LocalFree(buffer);
  while (!text.empty() && (text.back() == L' ' || text.back() == L'\r' || text.back() == L'\n' ||
                           text.back() == L'\t')) {
    text.pop_back();
  }
  return text.empty() ? "unknown error" : wideToUtf8(text);
}

}  // namespace velm
