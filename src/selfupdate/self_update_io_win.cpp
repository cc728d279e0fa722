// Placeholder until the self-update services land: every effect fails.
#include "selfupdate/self_update_io.h"

#include <cstdio>

namespace velm {
namespace {
class PlaceholderSelfUpdateIo final : public SelfUpdateIo {
 public:
  bool consumeUpdatedMark() override { return false; }
  std::wstring exePath() override { return L""; }
  bool download(const std::string&, const std::wstring&, std::string&, uint64_t&) override {
    return false;
  }
  bool moveFile(const std::wstring&, const std::wstring&) override { return false; }
  void deleteFile(const std::wstring&) override {}
  bool startExe(const std::wstring&) override { return false; }
  void printLine(const std::string& text) override { std::printf("%s\n", text.c_str()); }
  void printError(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
};
}  // namespace

SelfUpdateIo& systemSelfUpdateIo() {
  static PlaceholderSelfUpdateIo io;
  return io;
}
}  // namespace velm
