// The Windows SelfUpdateIo: Kernel32 for files, the environment and the new process.
#include "selfupdate/self_update_io.h"

#include <windows.h>

#include <cwchar>
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/console.h"
#include "platform/exe_path.h"
#include "platform/held_file.h"
#include "platform/kernel_handle_win.h"
#include "platform/os_error.h"
#include "platform/process.h"

namespace velm {
namespace {

constexpr wchar_t kUpdatedMark[] = L"VELM_COOP_UPDATED";
constexpr DWORD kMarkBufferLength = 8;

class WindowsSelfUpdateIo final : public SelfUpdateIo {
 public:
  bool consumeUpdatedMark() override {
    wchar_t value[kMarkBufferLength] = {};
    const DWORD length = GetEnvironmentVariableW(kUpdatedMark, value, kMarkBufferLength);
    // Only a length of 1 to 7 means the value is in the buffer; a larger one is the room it
    // would need, with the buffer left undefined.
    if (length == 0 || length >= kMarkBufferLength || value[0] != L'1') return false;
    SetEnvironmentVariableW(kUpdatedMark, nullptr);
    return true;
  }

  std::wstring exePath() override { return runningExePath(); }

  bool moveFile(const std::wstring& source, const std::wstring& target) override {
    return move(source, target, fileNameOf(target));
  }

  bool keepAside(const std::wstring& exe, const std::wstring& aside) override {
    return move(exe, aside, fileNameOf(exe));
  }

  void deleteFile(const std::wstring& path) override {
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return;
    // The old process of an update may still hold its exe for a moment.
    std::error_code ignored;
    (void)held_.remove(fileNameOf(path), std::filesystem::path(path), ignored);
  }

  bool startExe(const std::wstring& exePath) override {
    // The mark is in the environment only while the new process inherits it.
    SetEnvironmentVariableW(kUpdatedMark, L"1");
    const wchar_t* own = GetCommandLineW();
    std::vector<wchar_t> commandLine(own, own + wcslen(own) + 1);
    const bool started = startSharingStandardHandles(exePath, commandLine);
    // Taken before anything else can overwrite it.
    const uint32_t code = started ? 0 : lastErrorCode();
    SetEnvironmentVariableW(kUpdatedMark, nullptr);
    if (!started) {
      printError(startFailedLine(code));
      return false;
    }
    return true;
  }

  void printLine(const std::string& text) override { writeOutputLine(text); }
  void printError(const std::string& text) override { writeErrorLine(text); }

 private:
  bool move(const std::wstring& source, const std::wstring& target, const std::string& name) {
    const auto attempt = [&](std::error_code& error) {
      // No copy across volumes: the running exe is only ever moved within its own folder.
      if (MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
      error = lastError();
      return false;
    };
    std::error_code error;
    if (held_.retry(name, attempt, error)) return true;
    printError(moveFailedLine(source, target, static_cast<uint32_t>(error.value())));
    return false;
  }

  HeldFiles held_{[this](const std::string& name) { printLine(HeldFiles::waitingLine(name)); }};
};

}  // namespace

SelfUpdateIo& systemSelfUpdateIo() {
  static WindowsSelfUpdateIo io;
  return io;
}

}  // namespace velm
