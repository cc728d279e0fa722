#include "support/fake_self_update_io.h"

#include <filesystem>
#include <system_error>

#include "text/text.h"

namespace velm {
namespace {
std::filesystem::path pathOf(const std::wstring& wide) {
  return std::filesystem::u8path(wideToUtf8(wide));
}
}  // namespace

bool FakeSelfUpdateIo::consumeUpdatedMark() {
  bool was = updatedMark;
  updatedMark = false;
  return was;
}

bool FakeSelfUpdateIo::moveFile(const std::wstring& source, const std::wstring& target) {
  calls.push_back("move " + wideToUtf8(source) + " -> " + wideToUtf8(target));
  std::error_code error;
  if (failingMoves.count(++moves_) == 0) {
    std::filesystem::rename(pathOf(source), pathOf(target), error);
    if (!error) return true;
  }
  printError(moveFailedLine(source, target, 5));
  return false;
}

void FakeSelfUpdateIo::makeRunnable(const std::wstring& build, const std::wstring&) {
  calls.push_back("runnable " + wideToUtf8(build));
}

void FakeSelfUpdateIo::deleteFile(const std::wstring& path) {
  calls.push_back("delete " + wideToUtf8(path));
  std::error_code error;
  std::filesystem::remove(pathOf(path), error);
}

bool FakeSelfUpdateIo::startExe(const std::wstring& exePath) {
  calls.push_back("start " + wideToUtf8(exePath));
  if (!startOk) printError(startFailedLine(2));
  return startOk;
}

}  // namespace velm
