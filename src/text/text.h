// Text, hex and version helpers shared by the whole launcher. Text is UTF-8 in narrow strings;
// wide strings appear only at platform calls (UTF-16 on Windows, UTF-32 on the POSIX port).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

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

// The whole of text as a decimal number of at most max: one or more ASCII digits and nothing else
// (no sign, no blank; leading zeros are fine). On failure value is left as it was.
[[nodiscard]] bool parseDecimal(std::string_view text, uint64_t max, uint64_t& value);
// The run of ASCII digits at the front of text, perhaps empty: the number a reader takes next.
std::string_view leadingDigits(std::string_view text);

// 0 to 15 for a hex digit of either case, -1 for any other character.
int hexDigitValue(char c);

// True when text is exactly 2 * count hex digits of either case; then out holds count bytes.
// Returns false at the first non-digit, with the bytes before it already written.
[[nodiscard]] bool decodeHex(const std::string& text, uint8_t* out, size_t count);

// Lower-case hex, two digits per byte, high nibble first: the digest text form.
std::string hexLower(const uint8_t* bytes, size_t length);

// A SHA-256 digest. Digests from the server are read into this once, where their document is
// validated, so that every comparison after that is of bytes, never of text in two cases.
using Sha256Digest = std::array<uint8_t, 32>;
// Exactly 64 hex digits of either case; on failure the digest is left as it was.
[[nodiscard]] bool parseSha256Hex(const std::string& text, Sha256Digest& digest);
// 64 lower-case hex digits.
std::string sha256Hex(const Sha256Digest& digest);

// A UTC time written YYYY-MM-DDTHH:MM:SSZ (a real date, hours 00-23, no leap second) as
// seconds since 1970-01-01T00:00:00Z; false, seconds untouched, for any other text.
[[nodiscard]] bool parseUtcTime(const std::string& text, int64_t& seconds);
// The same form for seconds from 0000-01-01 to 9999-12-31.
std::string formatUtcTime(int64_t seconds);

// Text as it may reach a console: C0 and C1 control characters, DEL, the format characters
// (general category Cf: the bidirectional marks, embeddings, overrides and isolates, U+FEFF and
// the other invisible ones), U+2028, U+2029 and ill-formed UTF-8 each become U+FFFD, so a name
// from a document can neither move the cursor, send a terminal command, hide part of itself nor
// reorder or break the line it stands in.
std::string displayText(const std::string& text);

}  // namespace velm
