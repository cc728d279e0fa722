#include "text/text.h"

#include <cstdio>

#include "text/utf8.h"

namespace velm {
namespace {

constexpr uint64_t kMaxVersionNumber = 2147483647;

// Reads one run of digits at i; fails on no digit or a value above kMaxVersionNumber.
bool readNumber(const std::string& text, size_t& i, int64_t& value) {
  const std::string_view digits = leadingDigits(std::string_view(text).substr(i));
  uint64_t number = 0;
  if (!parseDecimal(digits, kMaxVersionNumber, number)) return false;
  i += digits.size();
  value = static_cast<int64_t>(number);
  return true;
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

bool parseDecimal(std::string_view text, uint64_t max, uint64_t& value) {
  if (text.empty()) return false;
  uint64_t number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (number > (max - digit) / 10) return false;
    number = number * 10 + digit;
  }
  value = number;
  return true;
}

std::string_view leadingDigits(std::string_view text) {
  size_t end = 0;
  while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
  return text.substr(0, end);
}

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

// Days from 1970-01-01 to the date, proleptic Gregorian (Howard Hinnant's days_from_civil).
int64_t daysFromCivil(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yearOfEra = year - era * 400;
  const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

int64_t daysInMonth(int64_t year, int64_t month) {
  static const int64_t kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// The digits of text from at, count of them, as a number; -1 when one is no digit.
int64_t digitsAt(const std::string& text, size_t at, size_t count) {
  uint64_t value = 0;
  if (!parseDecimal(std::string_view(text).substr(at, count), 9999, value)) return -1;
  return static_cast<int64_t>(value);
}

}  // namespace

bool parseUtcTime(const std::string& text, int64_t& seconds) {
  // YYYY-MM-DDTHH:MM:SSZ, nothing more or less.
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text[19] != 'Z') {
    return false;
  }
  const int64_t year = digitsAt(text, 0, 4), month = digitsAt(text, 5, 2),
                day = digitsAt(text, 8, 2), hour = digitsAt(text, 11, 2),
                minute = digitsAt(text, 14, 2), second = digitsAt(text, 17, 2);
  if (year < 0 || month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) ||
      hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59) {
    return false;
  }
  seconds = daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
  return true;
}

std::string formatUtcTime(int64_t seconds) {
  int64_t days = seconds / 86400, rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  // civil_from_days, the inverse of daysFromCivil.
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t dayOfEra = days - era * 146097;
  const int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;
  const int64_t day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
  const int64_t month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
  const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  char text[128];  // room for any int64_t in every field, though a real date needs 21
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ",
                static_cast<long long>(year), static_cast<long long>(month),
                static_cast<long long>(day), static_cast<long long>(rest / 3600),
                static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
  return text;
}

namespace {

// The format characters (general category Cf, Unicode 15) and the line and paragraph separators
// (U+2028, U+2029): unseen, they reorder, join, hide or break the text around them. Among them
// are the bidirectional marks, embeddings, overrides and isolates.
constexpr CodePointRange kUnseen[] = {
    {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},
    {0x070F, 0x070F},   {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},
    {0x200B, 0x200F},   {0x2028, 0x202E},   {0x2060, 0x2064},   {0x2066, 0x206F},
    {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD}, {0x110CD, 0x110CD},
    {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
    {0xE0020, 0xE007F},
};

bool mayReachConsole(char32_t c) {
  return c >= 0x20 && !(c >= 0x7F && c <= 0x9F) && !inRanges(c, kUnseen);
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

}  // namespace velm
