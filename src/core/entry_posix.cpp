// The POSIX entry point: the same start-up as on Windows, with the twins of its calls.
#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "core/launch.h"
#include "core/startup.h"
#include "platform/app_io.h"
#include "text/text.h"

namespace {

bool readSwitch(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && velm::isSwitchOn(velm::utf8ToWide(value));
}

}  // namespace

int main(int argc, char** argv) {
#ifdef M_ARENA_MAX
  // glibc gives each thread that allocates an arena of its own, which keeps what it freed: with
  // dozens of downloads in flight that is a few hundred KiB for nothing. They share one.
  mallopt(M_ARENA_MAX, 1);
#endif
  velm::LaunchOptions options;
  options.exeDir = velm::wideToUtf8(velm::exeFolder());
  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);  // no program
  options.arguments = velm::quotedArguments(arguments);
  options.version = velm::builtInVersion();
  options.now = static_cast<int64_t>(std::time(nullptr));
  options.fullCheck = readSwitch("VELM_COOP_VERIFY");

  auto io = velm::makeSystemAppIo(readSwitch("VELM_COOP_OFFLINE"));
  int result = velm::run(options, *io);
  io.reset();
  return result;
}
