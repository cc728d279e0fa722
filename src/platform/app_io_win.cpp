// The Windows AppIo: WinHTTP for the network, the console for the key wait.
#include "platform/app_io.h"

#include <conio.h>
#include <windows.h>

#include <cstdio>

#include "net/net_winhttp.h"
#include "platform/console_app_io.h"

namespace velm {
namespace {

class WindowsAppIo final : public ConsoleAppIo {
 public:
  explicit WindowsAppIo(bool offlineMode)
      : ConsoleAppIo(offlineMode), winHttpNet_(L"VelmCoop/1", 30000) {}

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

 protected:
  Net& onlineNet() override { return winHttpNet_; }

 private:
  WinHttpNet winHttpNet_;
};

}  // namespace

std::unique_ptr<AppIo> makeSystemAppIo(bool offlineMode) {
  return std::make_unique<WindowsAppIo>(offlineMode);
}

}  // namespace velm
