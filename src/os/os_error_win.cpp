#include "os/os_error.h"

#include <windows.h>

#include "text/text.h"

namespace velm {

uint32_t lastErrorCode() { return static_cast<uint32_t>(GetLastError()); }

std::error_code lastError() {
  return std::error_code(static_cast<int>(GetLastError()), std::system_category());
}

std::error_code linkRefusedError() {
  return std::error_code(ERROR_CANT_RESOLVE_FILENAME, std::system_category());
}

bool isHeldError(const std::error_code& error) {
  if (error.category() != std::system_category()) return false;
  switch (error.value()) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_ACCESS_DENIED:
      return true;
    default:
      return false;
  }
}

std::string systemErrorMessage(const std::error_code& error) {
  const DWORD flags =
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  const DWORD code = static_cast<DWORD>(error.value());
  wchar_t* buffer = nullptr;
  DWORD length = FormatMessageW(flags, nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (length == 0) {
    length =
        FormatMessageW(flags, nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
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
