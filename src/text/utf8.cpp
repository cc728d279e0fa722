#include "text/utf8.h"

namespace velm {

namespace {

// The code point at text[i], and i moved past it; false, with U+FFFD, for an ill-formed one.
bool decodeAt(const std::string& text, size_t& i, char32_t& decoded) {
  auto byte = [&text](size_t at) { return static_cast<unsigned char>(text[at]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) {
    ++i;
    decoded = lead;
    return true;
  }
  size_t length = 0;
  char32_t c = 0;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    c = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    c = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    c = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    ++i;
    decoded = kReplacementCharacter;
    return false;
  }
  size_t taken = 1;
  while (taken < length && i + taken < text.size()) {
    const unsigned char next = byte(i + taken);
    const unsigned char min = taken == 1 ? low : 0x80;
    const unsigned char max = taken == 1 ? high : 0xBF;
    if (next < min || next > max) break;
    c = (c << 6) | (next & 0x3F);
    ++taken;
  }
  i += taken;
  decoded = taken == length ? c : kReplacementCharacter;
  return taken == length;
}

}  // namespace

char32_t nextCodePoint(const std::string& text, size_t& i) {
  char32_t c = 0;
  decodeAt(text, i, c);
  return c;
}

bool isWellFormedUtf8(const std::string& text) {
  char32_t ignored = 0;
  for (size_t i = 0; i < text.size();) {
    if (!decodeAt(text, i, ignored)) return false;
  }
  return true;
}

void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace velm
