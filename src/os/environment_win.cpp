#include "os/environment.h"

#include <windows.h>

#include <vector>

#include "text/text.h"

namespace velm {

bool readEnvironment(const std::string& name, std::string& value) {
  const std::wstring wideName = utf8ToWide(name);
  std::vector<wchar_t> buffer(64);
  for (;;) {
    SetLastError(ERROR_SUCCESS);
    const DWORD length =
        GetEnvironmentVariableW(wideName.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    // An empty value also answers 0, without an error.
    if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return false;
    // A value too long for the buffer answers the room it needs, its zero included.
    if (length < buffer.size()) {
      value = wideToUtf8(std::wstring(buffer.data(), length));
      return true;
    }
    buffer.resize(length);
  }
}

void setEnvironment(const std::string& name, const char* value) {
  const std::wstring wideValue = value != nullptr ? utf8ToWide(value) : std::wstring();
  SetEnvironmentVariableW(utf8ToWide(name).c_str(), value != nullptr ? wideValue.c_str() : nullptr);
}

}  // namespace velm
