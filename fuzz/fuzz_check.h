// What the fuzz targets share: the invariant check, and the small text tests that several
// targets state their invariants with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

// A broken invariant is a crash to libFuzzer: it saves the input and the run fails.
#define VELM_FUZZ_CHECK(condition)                                                            \
  do {                                                                                        \
    if (!(condition)) {                                                                       \
      std::fprintf(stderr, "invariant broken: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
      std::abort();                                                                           \
    }                                                                                         \
  } while (0)

namespace velm {
namespace fuzz {

inline std::string text(const uint8_t* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

// Two texts from one input: before and after the first NUL (the second is empty without one).
inline std::pair<std::string, std::string> splitAtNul(const std::string& input) {
  const size_t nul = input.find('\0');
  if (nul == std::string::npos) return {input, std::string()};
  return {input.substr(0, nul), input.substr(nul + 1)};
}

inline bool isDigit(char c) { return c >= '0' && c <= '9'; }

inline bool isHexDigit(char c) {
  return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

inline bool isHexText(const std::string& text, size_t length) {
  if (text.size() != length) return false;
  for (char c : text) {
    if (!isHexDigit(c)) return false;
  }
  return true;
}

// count runs of one or more ASCII digits joined by single dots, nothing else.
inline bool isDottedDigits(const std::string& text, size_t count) {
  size_t runs = 0;
  size_t i = 0;
  while (true) {
    const size_t start = i;
    while (i < text.size() && isDigit(text[i])) ++i;
    if (i == start) return false;
    ++runs;
    if (i == text.size()) return runs == count;
    if (text[i] != '.') return false;
    ++i;
  }
}

}  // namespace fuzz
}  // namespace velm
