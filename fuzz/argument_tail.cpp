// argumentTail: the launcher's own arguments are the command line after the program-name token
// (Windows' rule for it: blanks end it outside quotes, quotes toggle, backslashes are plain) and
// the blanks after it; the rest is passed on verbatim.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/startup.h"
#include "fuzz_check.h"
#include "os/command_line.h"

namespace velm {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace
}  // namespace velm

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velm;
  const std::string line = fuzz::text(data, size);
  const std::string tail = argumentTail(line);

  // Verbatim: a suffix of the line, nothing unquoted, trimmed or added.
  VELM_FUZZ_CHECK(tail.size() <= line.size());
  const size_t skipped = line.size() - tail.size();
  VELM_FUZZ_CHECK(line.compare(skipped, std::string::npos, tail) == 0);
  VELM_FUZZ_CHECK(tail.empty() || !isBlank(tail[0]));

  // What it skips is the program token and then blanks only. The token ends at the first blank
  // outside quotes, so it holds none, and only the blanks after it are skipped.
  size_t token = 0;
  bool inQuotes = false;
  while (token < skipped && (inQuotes || !isBlank(line[token]))) {
    if (line[token] == '"') inQuotes = !inQuotes;
    ++token;
  }
  for (size_t i = token; i < skipped; ++i) VELM_FUZZ_CHECK(isBlank(line[i]));
  // The token stops at the first unquoted blank or at the end of the line, not earlier.
  VELM_FUZZ_CHECK(token == line.size() ||
                  (token < line.size() && !inQuotes && isBlank(line[token])));

  // A program path quoted with quoteArgument is skipped whole, as long as it holds no quote of
  // its own (no Windows path does).
  const size_t quote = line.find('"');
  if (quote == std::string::npos || line.empty()) return 0;
  const std::string program = line.substr(0, quote);
  const std::string rest = line.substr(quote + 1);
  const std::string expected = rest.substr(std::min(rest.find_first_not_of(" \t"), rest.size()));
  VELM_FUZZ_CHECK(argumentTail(quoteArgument(program) + " " + rest) == expected);
  return 0;
}
