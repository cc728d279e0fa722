// UTF-8 one code point at a time, for the conversions and the console's text.
#pragma once

#include <cstddef>
#include <string>

namespace velm {

constexpr char32_t kReplacementCharacter = 0xFFFD;

// The code point that starts at text[i], and i moved past it. An ill-formed sequence (its
// maximal valid prefix, at least one byte) gives U+FFFD, as the Windows conversions do.
char32_t nextCodePoint(const std::string& text, size_t& i);
void appendUtf8(std::string& out, char32_t c);
// Strict UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF, nothing cut off.
bool isWellFormedUtf8(const std::string& text);

// An inclusive range of code points, for the tables of characters the console treats apart.
struct CodePointRange {
  char32_t first;
  char32_t last;
};

// True when c lies in one of the ranges.
template <size_t N>
bool inRanges(char32_t c, const CodePointRange (&ranges)[N]) {
  for (const CodePointRange& range : ranges) {
    if (c >= range.first && c <= range.last) return true;
  }
  return false;
}

}  // namespace velm
