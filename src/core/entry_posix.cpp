// The POSIX entry point: the same start-up as on Windows, with the twins of its calls.
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/launch.h"
#include "core/startup.h"
#include "platform/app_io.h"
#include "platform/game_start.h"
#include "text/text.h"

namespace {

bool readOfflineMode() {
  const char* value = std::getenv("VELM_COOP_OFFLINE");
  return value != nullptr && velm::isOfflineValue(velm::utf8ToWide(value));
}

// The command line as Windows would hold it, so the arguments pass through verbatim.
std::string commandLineOf(int argc, char** argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) {
    if (i > 0) line += ' ';
    line += velm::quoteArgument(argv[i]);
  }
  return line;
}

}  // namespace

int main(int argc, char** argv) {
  velm::LaunchOptions options;
  options.exeDir = velm::wideToUtf8(velm::exeFolder());
  options.arguments = velm::argumentTail(commandLineOf(argc, argv));
  options.version = velm::builtInVersion();

  auto io = velm::makeSystemAppIo(readOfflineMode());
  int result = velm::run(options, *io);
  io.reset();
  return result;
}
