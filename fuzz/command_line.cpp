// splitCommandLine must undo quoteArgument exactly: the POSIX port quotes its own argv into a
// Windows-style command line and the game's co-op launcher gets its argv back by splitting it.
// The input is read twice: as a command line, and as an argv whose arguments are separated by
// NUL bytes.
#include "os/command_line.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/startup.h"
#include "fuzz_check.h"

namespace velm {
namespace {

std::vector<std::string> splitAtNuls(const std::string& text) {
  std::vector<std::string> arguments;
  size_t start = 0;
  for (;;) {
    const size_t nul = text.find('\0', start);
    arguments.push_back(text.substr(start, nul == std::string::npos ? nul : nul - start));
    if (nul == std::string::npos) return arguments;
    start = nul + 1;
  }
}

// A quoted argument is one token: no blank or tab outside its quotes, nothing to trim.
void checkQuote(const std::string& argument) {
  const std::string quote = quoteArgument(argument);
  VELM_FUZZ_CHECK(!quote.empty());
  VELM_FUZZ_CHECK(splitCommandLine(quote) == std::vector<std::string>{argument});
}

}  // namespace
}  // namespace velm

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velm;
  const std::string input = fuzz::text(data, size);

  // Any line: what it splits into, quoted again, splits into the same argv.
  const std::vector<std::string> split = splitCommandLine(input);
  for (const std::string& argument : split) {
    VELM_FUZZ_CHECK(!argument.empty() || input.find('"') != std::string::npos);
  }
  VELM_FUZZ_CHECK(splitCommandLine(quotedArguments(split)) == split);

  // Any argv: quoted and split, it comes back argument by argument.
  const std::vector<std::string> argv = splitAtNuls(input);
  VELM_FUZZ_CHECK(splitCommandLine(quotedArguments(argv)) == argv);
  for (const std::string& argument : argv) checkQuote(argument);

  // The game start: the launcher, the game exe and the user's arguments as the POSIX entry
  // quotes them reach the child as separate, unchanged arguments.
  if (argv.size() >= 2) {
    const std::vector<std::string> user(argv.begin() + 2, argv.end());
    const std::string line = buildCommandLine(argv[0], argv[1], quotedArguments(user));
    VELM_FUZZ_CHECK(splitCommandLine(line) == argv);
  }
  return 0;
}
