// The Windows AppIo: WinHTTP for the network, the console for lines and the key wait.
#include "platform/app_io.h"

#include <conio.h>
#include <windows.h>

#include <cstdio>

#include "net/net_winhttp.h"
#include "platform/console.h"
#include "platform/process.h"

namespace velm {
namespace {

class WindowsAppIo final : public AppIo {
 public:
  explicit WindowsAppIo(bool offlineMode)
      : winHttpNet_(L"VelmCoop/1", 30000), offlineMode_(offlineMode) {}

  Net& net() override {
    if (offlineMode_) return noNet_;
    return winHttpNet_;
  }

  SelfUpdateIo& selfUpdateIo() override { return systemSelfUpdateIo(); }

  bool startProcess(const std::string& exePath, const std::string& commandLine,
                    const std::string& workingFolder, uint64_t steamAppId,
                    std::string& error) override {
    return startChildProcess(exePath, commandLine, workingFolder, steamAppId, error);
  }

  void waitForKey() override {
    std::fflush(stdout);
    std::fflush(stderr);
    DWORD mode = 0;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (!GetConsoleMode(input, &mode)) return;
    if (!GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode)) return;
    FlushConsoleInputBuffer(input);
    _getch();
  }

  void printLine(const std::string& text) override { writeOutputLine(text); }
  void printError(const std::string& text) override { writeErrorLine(text); }

  FILE* progressOutput() override { return stdout; }

  const std::vector<TrustedKey>& trustedKeys() override {
    static const std::vector<TrustedKey> keys = buildTrustedKeys();
    return keys;
  }

 private:
  WinHttpNet winHttpNet_;
  NoNet noNet_;
  bool offlineMode_;
};

}  // namespace

std::unique_ptr<AppIo> makeSystemAppIo(bool offlineMode) {
  return std::make_unique<WindowsAppIo>(offlineMode);
}

}  // namespace velm
