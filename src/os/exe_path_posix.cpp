#include "os/exe_path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "text/text.h"

namespace velm {
namespace {

std::string readExeLink() {
  std::vector<char> buffer(260);
  for (;;) {
    ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length <= 0) return std::string();
    if (static_cast<size_t>(length) < buffer.size()) {
      return std::string(buffer.data(), static_cast<size_t>(length));
    }
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace

// Read once, at start-up: once another launcher in the same folder has put a new build in this
// one's place, the link names the old file as "PATH (deleted)", and every later question must
// still get the launcher's own name.
std::wstring runningExePath() {
  static const std::wstring path = [] {
    std::string link = readExeLink();
    static const std::string kGone = " (deleted)";
    struct stat info;
    if (link.size() > kGone.size() &&
        link.compare(link.size() - kGone.size(), kGone.size(), kGone) == 0 &&
        stat(link.c_str(), &info) != 0) {
      link.erase(link.size() - kGone.size());
    }
    return utf8ToWide(link);
  }();
  return path;
}

bool runningExeNameIsReplaceable() { return true; }

}  // namespace velm
