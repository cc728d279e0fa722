// The POSIX port's AppIo: the terminal for the key wait; the rest is ConsoleAppIo's.
#include "platform/app_io.h"

#include "os/console.h"
#include "platform/console_app_io.h"

namespace velm {
namespace {

class PosixAppIo final : public ConsoleAppIo {
 public:
  explicit PosixAppIo(bool offlineMode) : ConsoleAppIo(offlineMode) {}

  // Like _getch: one key, no echo, no Enter; never blocks without a terminal on both ends.
  void waitForKey() override { waitForConsoleKey(); }
};

}  // namespace

std::unique_ptr<AppIo> makeSystemAppIo(bool offlineMode) {
  return std::make_unique<PosixAppIo>(offlineMode);
}

}  // namespace velm
