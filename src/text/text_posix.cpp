// The POSIX port's conversions between UTF-8 and UTF-32 wide strings. Like the Windows calls,
// they never fail: each ill-formed sequence (its maximal valid prefix) becomes one U+FFFD.
#include "text/text.h"

namespace velm {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

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

}  // namespace

std::wstring utf8ToWide(const std::string& text) {
  std::wstring wide;
  wide.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    auto byte = [&text](size_t at) { return static_cast<unsigned char>(text[at]); };
    unsigned char lead = byte(i);
    if (lead < 0x80) {
      wide += static_cast<wchar_t>(lead);
      ++i;
      continue;
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
      wide += static_cast<wchar_t>(kReplacement);
      ++i;
      continue;
    }
    size_t taken = 1;
    while (taken < length && i + taken < text.size()) {
      unsigned char next = byte(i + taken);
      unsigned char min = taken == 1 ? low : 0x80;
      unsigned char max = taken == 1 ? high : 0xBF;
      if (next < min || next > max) break;
      c = (c << 6) | (next & 0x3F);
      ++taken;
    }
    wide += static_cast<wchar_t>(taken == length ? c : kReplacement);
    i += taken;
  }
  return wide;
}

std::string wideToUtf8(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t unit : text) {
    auto c = static_cast<char32_t>(unit);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = kReplacement;
    appendUtf8(out, c);
  }
  return out;
}

std::filesystem::path pathFromWide(const std::wstring& path) {
  return std::filesystem::u8path(wideToUtf8(path));
}

}  // namespace velm
