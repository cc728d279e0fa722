#include "os/exe_path.h"

#include <windows.h>

#include <vector>

namespace velm {

std::wstring runningExePath() {
  std::vector<wchar_t> buffer(260, L'\0');
  for (;;) {
    DWORD size = static_cast<DWORD>(buffer.size());
    DWORD length = GetModuleFileNameW(nullptr, buffer.data(), size);
    if (length == 0) return std::wstring();
    if (length < size) return std::wstring(buffer.data(), length);
    // The path was cut: try again with twice the room.
    buffer.assign(buffer.size() * 2, L'\0');
  }
}

bool runningExeNameIsReplaceable() { return false; }

}  // namespace velm
