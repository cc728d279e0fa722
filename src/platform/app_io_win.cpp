// The Windows AppIo: the console for the key wait; the rest is ConsoleAppIo's.
#include "platform/app_io.h"

#include <conio.h>
#include <windows.h>

#include <cstdio>

#include "platform/console_app_io.h"

namespace velm {
namespace {

class WindowsAppIo final : public ConsoleAppIo {
 public:
  explicit WindowsAppIo(bool offlineMode) : ConsoleAppIo(offlineMode) {}

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
};

}  // namespace

std::unique_ptr<AppIo> makeSystemAppIo(bool offlineMode) {
  return std::make_unique<WindowsAppIo>(offlineMode);
}

}  // namespace velm
