// The POSIX port's conversions between UTF-8 and UTF-32 wide strings. Like the Windows calls,
// they never fail: each ill-formed sequence (its maximal valid prefix) becomes one U+FFFD.
#include "text/text.h"

#include "text/utf8.h"

namespace velm {

std::wstring utf8ToWide(const std::string& text) {
  std::wstring wide;
  wide.reserve(text.size());
  for (size_t i = 0; i < text.size();) wide += static_cast<wchar_t>(nextCodePoint(text, i));
  return wide;
}

std::string wideToUtf8(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t unit : text) {
    auto c = static_cast<char32_t>(unit);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = kReplacementCharacter;
    appendUtf8(out, c);
  }
  return out;
}

}  // namespace velm
