#include "os/console.h"

#include <cstdio>

#include "text/text.h"

namespace velm {

// Lines quote names and values from documents and saved copies: each passes displayText.
void writeOutputLine(const std::string& text) {
  std::printf("%s\n", displayText(text).c_str());
  std::fflush(stdout);
}

void writeErrorLine(const std::string& text) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s\n", displayText(text).c_str());
  std::fflush(stderr);
}

}  // namespace velm
