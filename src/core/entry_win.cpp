// The Windows entry point: console set-up, the launch options, the platform object, then run.
#include <windows.h>

#include "core/launch.h"
#include "core/startup.h"
#include "platform/app_io.h"
#include "text/text.h"

namespace {

bool readOfflineMode() {
  wchar_t buffer[8] = {};
  DWORD length = GetEnvironmentVariableW(L"VELM_COOP_OFFLINE", buffer, 8);
  // Past 7 units the call returns the size it needs and leaves the buffer undefined.
  if (length == 0 || length > 7) return false;
  return velm::isOfflineValue(std::wstring(buffer, length));
}

}  // namespace

int main() {
  SetConsoleOutputCP(65001);
  SetConsoleTitleW(velm::utf8ToWide(velm::consoleTitle()).c_str());

  velm::LaunchOptions options;
  options.exeDir = velm::wideToUtf8(velm::exeFolder());
  options.arguments = velm::argumentTail(velm::wideToUtf8(GetCommandLineW()));
  options.version = velm::builtInVersion();

  auto io = velm::makeSystemAppIo(readOfflineMode());
  int result = velm::run(options, *io);
  io.reset();
  return result;
}
