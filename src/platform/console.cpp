#include "platform/console.h"

#include <cstdio>

namespace velm {

void writeOutputLine(const std::string& text) {
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
}

void writeErrorLine(const std::string& text) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
}

}  // namespace velm
