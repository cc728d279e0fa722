// A SelfUpdateIo whose downloads, moves and starts are scripted. Files are real (in a TempDir),
// so tests can check what an update leaves on disk.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "selfupdate/self_update_io.h"

namespace velm {

struct FakeSelfUpdateIo final : SelfUpdateIo {
  bool consumeUpdatedMark() override;
  std::wstring exePath() override { return exe; }
  bool download(const std::string& url, const std::wstring& target, std::string& digest,
                uint64_t& byteCount, uint64_t maxBytes) override;
  bool moveFile(const std::wstring& source, const std::wstring& target) override;
  void deleteFile(const std::wstring& path) override;
  bool startExe(const std::wstring& exePath) override;
  void printLine(const std::string& text) override { out.push_back(text); }
  void printError(const std::string& text) override { err.push_back(text); }

  bool updatedMark = false;
  std::wstring exe;
  bool downloadOk = true;          // false: writes half the body, then fails
  std::string downloadBody;
  std::string downloadDigest;      // what download reports as the digest
  uint64_t lastMaxBytes = 0;       // the limit of the last download
  std::set<int> failingMoves;      // 1-based numbers of moveFile calls that fail
  bool startOk = true;
  std::vector<std::string> calls;  // "download URL", "move A -> B", "delete P", "start P"
  std::vector<std::string> out;
  std::vector<std::string> err;

 private:
  int moves_ = 0;
};

}  // namespace velm
