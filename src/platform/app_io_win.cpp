// The Windows AppIo: the console for the key wait; the rest is ConsoleAppIo's.
#include "platform/app_io.h"

#include "os/console.h"
#include "platform/console_app_io.h"

namespace velm {
namespace {

class WindowsAppIo final : public ConsoleAppIo {
 public:
  explicit WindowsAppIo(bool offlineMode) : ConsoleAppIo(offlineMode) {}

  // _getch, after the pending input is dropped; not without a console on both ends.
  void waitForKey() override { waitForConsoleKey(); }
};

}  // namespace

std::unique_ptr<AppIo> makeSystemAppIo(bool offlineMode) {
  return std::make_unique<WindowsAppIo>(offlineMode);
}

}  // namespace velm
