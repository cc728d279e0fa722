// A SelfUpdateIo whose moves and starts are scripted. Files are real (in a TempDir), so tests can
// check what an update leaves on disk; the build itself comes through a FakeNet.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "selfupdate/self_update_io.h"
#include "support/fake_retry_clock.h"

namespace velm {

struct FakeSelfUpdateIo final : SelfUpdateIo {
  bool consumeUpdatedMark() override;
  std::wstring exePath() override { return exe; }
  bool moveFile(const std::wstring& source, const std::wstring& target) override;
  void makeRunnable(const std::wstring& build, const std::wstring& exe) override;
  void deleteFile(const std::wstring& path) override;
  bool startExe(const std::wstring& exePath) override;
  void printLine(const std::string& text) override { out.push_back(text); }
  void printError(const std::string& text) override { err.push_back(text); }
  RetryClock& retryClock() override { return clock; }

  bool updatedMark = false;
  std::wstring exe;
  std::set<int> failingMoves;  // 1-based numbers of moveFile calls that fail
  bool startOk = true;
  std::vector<std::string> calls;  // "move A -> B", "delete P", "runnable P", "start P"
  std::vector<std::string> out;
  std::vector<std::string> err;
  FakeRetryClock clock;

 private:
  int moves_ = 0;
};

}  // namespace velm
