#include "selfupdate/self_update.h"

namespace velm {

void removeUpdateLeftover(SelfUpdateIo& io) {
  std::wstring exe = io.exePath();
  // Without a path the leftover's name would be ".old" in the current folder: not ours.
  if (exe.empty()) return;
  io.deleteFile(asidePath(exe));
}

// Placeholder until the self-update flow lands: every announcement is ignored.
SelfUpdateResult runSelfUpdate(const LauncherInfo&, const Version&, SelfUpdateIo&) {
  return SelfUpdateResult::UpToDate;
}

std::wstring asidePath(const std::wstring& exePath) {
  if (exePath.size() > 4) {
    std::wstring tail = exePath.substr(exePath.size() - 4);
    for (wchar_t& c : tail) {
      if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    if (tail == L".exe") return exePath.substr(0, exePath.size() - 4) + L".old.exe";
  }
  return exePath + L".old";
}

}  // namespace velm
