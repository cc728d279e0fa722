// Text, hex and version helpers shared by the whole launcher. Text is UTF-8 in narrow strings;
// wide strings appear only at platform calls (UTF-16 on Windows, UTF-32 on the POSIX port).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace velm {

struct Version {
  int32_t major = 0;
  int32_t minor = 0;
  int32_t patch = 0;
};

// Exactly three decimal numbers separated by single dots, each at most 2147483647. On failure
// returns false and leaves the version untouched.
[[nodiscard]] bool parseVersion(const std::string& text, Version& version);
std::string formatVersion(const Version& version);
// Negative, zero or positive as a is less than, equal to or greater than b.
int compareVersions(const Version& a, const Version& b);

// Never fail: each ill-formed sequence becomes U+FFFD, as the Windows conversions do.
std::wstring utf8ToWide(const std::string& text);
std::string wideToUtf8(const std::wstring& text);

std::string decimalText(int32_t value);
std::string decimalText(uint32_t value);
std::string decimalText(uint64_t value);

// 0 to 15 for a hex digit of either case, -1 for any other character.
int hexDigitValue(char c);

// Lower-case hex, two digits per byte, high nibble first: the digest text form.
std::string hexLower(const uint8_t* bytes, size_t length);

}  // namespace velm
