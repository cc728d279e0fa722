// parseVersion: exactly three decimal numbers of at most 2147483647 joined by single dots. What
// it accepts must format back to text that parses to the same version; what it refuses must
// leave the version alone. Input: one version text, or two joined by a NUL to compare.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "text/text.h"

namespace velm {
namespace {

constexpr int32_t kUntouched = -7;

// The value a run of digits stands for, or -1 above 2147483647 (leading zeros are free).
int64_t runValue(const std::string& run) {
  int64_t value = 0;
  for (char c : run) {
    value = value * 10 + (c - '0');
    if (value > 2147483647) return -1;
  }
  return value;
}

// The numbers of a MAJOR.MINOR.PATCH text, independent of parseVersion; false for other text.
bool expectedVersion(const std::string& text, int64_t (&numbers)[3]) {
  if (!fuzz::isDottedDigits(text, 3)) return false;
  size_t start = 0;
  for (int64_t& number : numbers) {
    const size_t dot = text.find('.', start);
    number =
        runValue(text.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
    if (number < 0) return false;
    start = dot + 1;
  }
  return true;
}

bool equal(const Version& a, const Version& b) {
  return a.major == b.major && a.minor == b.minor && a.patch == b.patch;
}

bool checkedParse(const std::string& text, Version& version) {
  version = Version{kUntouched, kUntouched, kUntouched};
  const bool ok = parseVersion(text, version);
  int64_t numbers[3];
  VELM_FUZZ_CHECK(ok == expectedVersion(text, numbers));
  if (!ok) {
    VELM_FUZZ_CHECK(version.major == kUntouched && version.minor == kUntouched &&
                    version.patch == kUntouched);
    return false;
  }
  VELM_FUZZ_CHECK(version.major == numbers[0] && version.minor == numbers[1] &&
                  version.patch == numbers[2]);
  // Formatting drops leading zeros only: the text parses again to the same version, and is
  // already in its shortest form.
  const std::string formatted = formatVersion(version);
  Version again;
  VELM_FUZZ_CHECK(parseVersion(formatted, again) && equal(again, version));
  VELM_FUZZ_CHECK(formatVersion(again) == formatted);
  VELM_FUZZ_CHECK(compareVersions(version, again) == 0);
  return true;
}

int sign(int value) { return (value > 0) - (value < 0); }

}  // namespace
}  // namespace velm

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velm;
  const auto [first, second] = fuzz::splitAtNul(fuzz::text(data, size));
  Version a;
  Version b;
  const bool okA = checkedParse(first, a);
  const bool okB = checkedParse(second, b);
  if (okA && okB) {
    // An order: antisymmetric, equal only for equal numbers, by major, then minor, then patch.
    const int ab = compareVersions(a, b);
    VELM_FUZZ_CHECK(sign(ab) == -sign(compareVersions(b, a)));
    VELM_FUZZ_CHECK((ab == 0) == equal(a, b));
    const int64_t keyA[3] = {a.major, a.minor, a.patch};
    const int64_t keyB[3] = {b.major, b.minor, b.patch};
    int expected = 0;
    for (int i = 0; i < 3 && expected == 0; ++i)
      expected = (keyA[i] > keyB[i]) - (keyA[i] < keyB[i]);
    VELM_FUZZ_CHECK(sign(ab) == expected);
  }
  return 0;
}
