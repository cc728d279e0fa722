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

bool contentRangeAnswers(std::string_view value, uint64_t firstByte, uint64_t lastByte) {
  if (!takeBytesUnit(value)) return false;
  uint64_t first = 0;
  uint64_t last = 0;
  if (!takeNumber(value, first) || !takeChar(value, '-') || !takeNumber(value, last) ||
      !takeChar(value, '/') || last < first) {
    return false;
  }
  uint64_t length = 0;
  const bool knownLength = value != "*";
  if (knownLength && (!takeNumber(value, length) || !value.empty() || last >= length)) {
    return false;
  }
  if (first != firstByte) return false;
  // A range asked to the end ends wherever the body does; one with an end ends there, or
  // earlier only where the body itself ends.
  return lastByte == UINT64_MAX || last == lastByte ||
         (knownLength && lastByte > last && last == length - 1);
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
