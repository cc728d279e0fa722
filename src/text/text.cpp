#include "text/text.h"

#include "text/utf8.h"

namespace velm {
namespace {

constexpr int64_t kMaxVersionNumber = 2147483647;

// Reads one run of digits at i; fails on no digit or a value above kMaxVersionNumber.
bool readNumber(const std::string& text, size_t& i, int64_t& value) {
  value = 0;
  size_t start = i;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    value = value * 10 + (text[i] - '0');
    if (value > kMaxVersionNumber) return false;
    ++i;
  }
  return i > start;
}

template <class Unsigned>
std::string unsignedText(Unsigned value) {
  char digits[24];
  size_t at = sizeof digits;
  do {
    digits[--at] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  return std::string(digits + at, sizeof digits - at);
}

}  // namespace

bool parseVersion(const std::string& text, Version& version) {
  if (text.empty()) return false;
  int64_t numbers[3];
  size_t i = 0;
  for (int n = 0; n < 3; ++n) {
    if (!readNumber(text, i, numbers[n])) return false;
    if (n < 2) {
      if (i >= text.size() || text[i] != '.' || i + 1 >= text.size()) return false;
      ++i;
    }
  }
  if (i != text.size()) return false;
  version.major = static_cast<int32_t>(numbers[0]);
  version.minor = static_cast<int32_t>(numbers[1]);
  version.patch = static_cast<int32_t>(numbers[2]);
  return true;
}

std::string formatVersion(const Version& version) {
  return decimalText(version.major) + "." + decimalText(version.minor) + "." +
         decimalText(version.patch);
}

int compareVersions(const Version& a, const Version& b) {
  if (a.major != b.major) return a.major < b.major ? -1 : 1;
  if (a.minor != b.minor) return a.minor < b.minor ? -1 : 1;
  if (a.patch != b.patch) return a.patch < b.patch ? -1 : 1;
  return 0;
}

std::string decimalText(int32_t value) {
  if (value >= 0) return unsignedText(static_cast<uint32_t>(value));
  // Negate in unsigned arithmetic so that the smallest value has a magnitude too.
  return "-" + unsignedText(0u - static_cast<uint32_t>(value));
}

std::string decimalText(uint32_t value) { return unsignedText(value); }

std::string decimalText(uint64_t value) { return unsignedText(value); }

int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool decodeHex(const std::string& text, uint8_t* out, size_t count) {
  if (text.size() != 2 * count) return false;
  for (size_t i = 0; i < count; ++i) {
    int high = hexDigitValue(text[2 * i]);
    int low = hexDigitValue(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    out[i] = static_cast<uint8_t>(high * 16 + low);
  }
  return true;
}

std::string hexLower(const uint8_t* bytes, size_t length) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(length * 2);
  for (size_t i = 0; i < length; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0x0f];
  }
  return text;
}

bool parseSha256Hex(const std::string& text, Sha256Digest& digest) {
  Sha256Digest parsed;
  if (!decodeHex(text, parsed.data(), parsed.size())) return false;
  digest = parsed;
  return true;
}

std::string sha256Hex(const Sha256Digest& digest) { return hexLower(digest.data(), digest.size()); }

namespace {

bool mayReachConsole(char32_t c) {
  return !(c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069));
}

}  // namespace

std::string displayText(const std::string& text) {
  size_t plain = 0;
  while (plain < text.size() && text[plain] >= 0x20 && text[plain] < 0x7F) ++plain;
  if (plain == text.size()) return text;  // the usual line: nothing to look at twice
  std::string shown = text.substr(0, plain);
  for (size_t i = plain; i < text.size();) {
    const char32_t c = nextCodePoint(text, i);
    appendUtf8(shown, mayReachConsole(c) ? c : kReplacementCharacter);
  }
  return shown;
}

bool startsWithNoCase(const std::string& text, const std::string& lowerPrefix) {
  if (text.size() < lowerPrefix.size()) return false;
  for (size_t i = 0; i < lowerPrefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lowerPrefix[i]) return false;
  }
  return true;
}

}  // namespace velm
