#include "net/content_range.h"

#include "text/ascii.h"
#include "text/text.h"

namespace velm {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Reads the decimal number at the front of text; false for no digit or one past 64 bits.
bool takeNumber(std::string_view& text, uint64_t& number) {
  const std::string_view digits = leadingDigits(text);
  if (!parseDecimal(digits, UINT64_MAX, number)) return false;
  text.remove_prefix(digits.size());
  return true;
}

bool takeChar(std::string_view& text, char c) {
  if (text.empty() || text.front() != c) return false;
  text.remove_prefix(1);
  return true;
}

// Trims value and takes its unit and the blanks after it; false when the unit is not bytes.
bool takeBytesUnit(std::string_view& value) {
  while (!value.empty() && isBlank(value.front())) value.remove_prefix(1);
  while (!value.empty() && isBlank(value.back())) value.remove_suffix(1);
  // The unit is case-insensitive (RFC 9110, 14.1); only bytes are ours.
  constexpr std::string_view kUnit = "bytes";
  if (value.size() <= kUnit.size() || !startsWithNoCase(value, kUnit)) return false;
  value.remove_prefix(kUnit.size());
  if (!isBlank(value.front())) return false;
  while (!value.empty() && isBlank(value.front())) value.remove_prefix(1);
  return true;
}

}  // namespace

bool contentRangeBeginsAt(std::string_view value, uint64_t firstByte) {
  if (!takeBytesUnit(value)) return false;
  uint64_t first = 0;
  uint64_t last = 0;
  if (!takeNumber(value, first) || !takeChar(value, '-') || !takeNumber(value, last) ||
      !takeChar(value, '/') || last < first) {
    return false;
  }
  if (value != "*") {
    uint64_t length = 0;
    if (!takeNumber(value, length) || !value.empty() || last >= length) return false;
  }
  return first == firstByte;
}

bool unsatisfiedRangeLength(std::string_view value, uint64_t& length) {
  uint64_t number = 0;
  if (!takeBytesUnit(value) || !takeChar(value, '*') || !takeChar(value, '/') ||
      !takeNumber(value, number) || !value.empty()) {
    return false;
  }
  length = number;
  return true;
}

}  // namespace velm
