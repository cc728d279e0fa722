#include "platform/exe_path.h"

#include <unistd.h>

#include <vector>

#include "text/text.h"

namespace velm {

std::wstring runningExePath() {
  std::vector<char> buffer(260);
  for (;;) {
    ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length <= 0) return std::wstring();
    if (static_cast<size_t>(length) < buffer.size()) {
      return utf8ToWide(std::string(buffer.data(), static_cast<size_t>(length)));
    }
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace velm
