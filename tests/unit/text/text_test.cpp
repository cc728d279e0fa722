#include "text/text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ios>
#include <string>

#include "text/path_text.h"
#include "text/utf8.h"

namespace velm {
namespace {

TEST(Text, ParsesVersionsAtTheEdges) {
  struct Case {
    const char* text;
    bool ok;
    int32_t major, minor, patch;
  } cases[] = {
      {"1.2.3", true, 1, 2, 3},
      {"0.0.0", true, 0, 0, 0},
      {"2147483647.2147483647.2147483647", true, 2147483647, 2147483647, 2147483647},
      {"000000000000000000001.0.0", true, 1, 0, 0},
      {"01.002.0003", true, 1, 2, 3},
      {"2147483648.0.0", false, 0, 0, 0},
      {"0.0.2147483648", false, 0, 0, 0},
      {"99999999999999999999.0.0", false, 0, 0, 0},
      {"", false, 0, 0, 0},
      {"1", false, 0, 0, 0},
      {"1.2", false, 0, 0, 0},
      {"1.2.", false, 0, 0, 0},
      {"1..3", false, 0, 0, 0},
      {".1.2.3", false, 0, 0, 0},
      {"1.2.3.", false, 0, 0, 0},
      {"1.2.3.4", false, 0, 0, 0},
      {"1.2.3 ", false, 0, 0, 0},
      {" 1.2.3", false, 0, 0, 0},
      {"+1.2.3", false, 0, 0, 0},
      {"-1.2.3", false, 0, 0, 0},
      {"v1.2.3", false, 0, 0, 0},
      {"1.2.3-beta", false, 0, 0, 0},
      {"1.2.x", false, 0, 0, 0},
  };
  for (const Case& c : cases) {
    Version version{7, 8, 9};
    EXPECT_EQ(parseVersion(c.text, version), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(version.major, c.major) << c.text;
      EXPECT_EQ(version.minor, c.minor) << c.text;
      EXPECT_EQ(version.patch, c.patch) << c.text;
    } else {
      EXPECT_EQ(version.major, 7) << "a failed parse must leave the version: " << c.text;
      EXPECT_EQ(version.patch, 9) << c.text;
    }
  }
}

TEST(Text, FormatsAndComparesVersions) {
  Version parsed;
  ASSERT_TRUE(parseVersion("01.02.03", parsed));
  EXPECT_EQ(formatVersion(parsed), "1.2.3");
  struct Case {
    Version a, b;
    int order;
  } cases[] = {
      {{2, 0, 1}, {2, 0, 0}, 1},  {{2, 1, 0}, {2, 0, 9}, 1}, {{10, 0, 0}, {9, 9, 9}, 1},
      {{1, 9, 9}, {2, 0, 0}, -1}, {{2, 0, 0}, {2, 0, 0}, 0},
  };
  for (const Case& c : cases) {
    int order = compareVersions(c.a, c.b);
    EXPECT_EQ((order > 0) - (order < 0), c.order)
        << formatVersion(c.a) << " vs " << formatVersion(c.b);
    int reverse = compareVersions(c.b, c.a);
    EXPECT_EQ((reverse > 0) - (reverse < 0), -c.order) << formatVersion(c.a);
  }
}

TEST(Text, WritesDecimals) {
  EXPECT_EQ(decimalText(uint64_t{18446744073709551615u}), "18446744073709551615");
  EXPECT_EQ(decimalText(int32_t{-5}), "-5");
  EXPECT_EQ(decimalText(int32_t{INT32_MIN}), "-2147483648");
  EXPECT_EQ(decimalText(uint32_t{0}), "0");
  EXPECT_EQ(decimalText(uint32_t{4294967295u}), "4294967295");
  EXPECT_EQ(decimalText(uint64_t{1000}), "1000");
}

TEST(Text, WritesLowerCaseHex) {
  const uint8_t bytes[] = {0x00, 0x0f, 0xa5, 0xff};
  EXPECT_EQ(hexLower(bytes, sizeof bytes), "000fa5ff");
  EXPECT_EQ(hexLower(bytes, 0), "");
}

TEST(Text, ConvertsWellFormedTextBothWays) {
  EXPECT_EQ(utf8ToWide(""), L"");
  EXPECT_EQ(wideToUtf8(L""), "");
  EXPECT_EQ(utf8ToWide("\xC3\xA9"), std::wstring(1, wchar_t(0x00E9)));
  const std::string samples[] = {"plain ASCII", "Caf\xC3\xA9", "\xE2\x82\xAC 5",
                                 "\xF0\x9F\x8E\xAE game", "\xEF\xBF\xBD"};
  for (const std::string& sample : samples) {
    EXPECT_EQ(wideToUtf8(utf8ToWide(sample)), sample) << sample;
  }
}

TEST(Text, ReplacesIllFormedUtf8WithReplacementCharacters) {
  const std::string kFffd = "\xEF\xBF\xBD";
  struct Case {
    std::string input;
    std::string expected;  // the UTF-8 form of the converted text
  } cases[] = {
      {"\xFF", kFffd},
      {"a\x80"
       "b",
       "a" + kFffd + "b"},
      {"x\xC3", "x" + kFffd},  // cut short at the end
      {"\xE2\x82", kFffd},     // cut short: one replacement for the prefix
      {"\xE2\x82"
       "a",
       kFffd + "a"},  // the next character survives
  };
  for (const Case& c : cases) {
    EXPECT_EQ(wideToUtf8(utf8ToWide(c.input)), c.expected);
  }
}

TEST(Text, NeverPassesOverlongSurrogateOrOutOfRangeForms) {
  // How many replacement characters such a form becomes differs between conversions; that it
  // becomes nothing else, and the text around it survives, does not.
  const std::string kFffd = "\xEF\xBF\xBD";
  for (std::string form :
       {"\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80"}) {
    std::string converted = wideToUtf8(utf8ToWide("<" + form + ">"));
    ASSERT_GE(converted.size(), 2 + kFffd.size()) << form;
    EXPECT_EQ(converted.front(), '<') << form;
    EXPECT_EQ(converted.back(), '>') << form;
    std::string middle = converted.substr(1, converted.size() - 2);
    for (size_t at = 0; at < middle.size(); at += kFffd.size()) {
      EXPECT_EQ(middle.compare(at, kFffd.size(), kFffd), 0) << form;
    }
  }
}

TEST(Text, ReplacesUnpairedSurrogates) {
  std::wstring lone(1, wchar_t(0xD800));
  EXPECT_EQ(wideToUtf8(L"a" + lone + L"b"),
            "a\xEF\xBF\xBD"
            "b");
}

TEST(JoinPath, AddsOneSeparatorOnlyWhereNeeded) {
  const std::string sep(1, static_cast<char>(std::filesystem::path::preferred_separator));
  EXPECT_EQ(pathToUtf8(joinPath("", "games.json")), "games.json");
  EXPECT_EQ(pathToUtf8(joinPath("a", "b")), "a" + sep + "b");
  EXPECT_EQ(pathToUtf8(joinPath("a" + sep, "b")), "a" + sep + "b");
  EXPECT_EQ(pathToUtf8(joinPath(sep, "b")), sep + "b");
  EXPECT_EQ(pathToUtf8(joinPath(pathFromUtf8("caf\xC3\xA9"), "\xC3\xA4.dll")),
            "caf\xC3\xA9" + sep + "\xC3\xA4.dll");
}

TEST(UtcTime, ReadsAndWritesTheOneForm) {
  struct Case {
    const char* text;
    int64_t seconds;
  };
  const Case cases[] = {
      {"1970-01-01T00:00:00Z", 0},
      {"1969-12-31T23:59:59Z", -1},
      {"2000-02-29T12:34:56Z", 951827696},
      {"2026-12-08T15:47:58Z", 1796744878},
      {"2100-03-01T00:00:00Z", 4107542400},
      {"0000-01-01T00:00:00Z", -62167219200},
      {"9999-12-31T23:59:59Z", 253402300799},
  };
  for (const Case& c : cases) {
    int64_t seconds = 7;
    ASSERT_TRUE(parseUtcTime(c.text, seconds)) << c.text;
    EXPECT_EQ(seconds, c.seconds) << c.text;
    EXPECT_EQ(formatUtcTime(c.seconds), c.text);
  }
  for (const char* text : {"2100-02-29T00:00:00Z", "2026-04-31T00:00:00Z", "2026-00-10T00:00:00Z",
                           "2026-01-00T00:00:00Z", "2026-01-01T00:60:00Z", "2026-01-01T00:00:00",
                           "2026-01-01T00:00:00ZZ", "+026-01-01T00:00:00Z", "2026-01-01t00:00:00Z",
                           "２026-01-01T00:00:00Z", ""}) {
    int64_t seconds = 7;
    EXPECT_FALSE(parseUtcTime(text, seconds)) << text;
    EXPECT_EQ(seconds, 7) << text;
  }
}

TEST(DisplayText, ReplacesWhatATerminalWouldActOn) {
  const std::string kFffd = "\xEF\xBF\xBD";
  struct Case {
    const char* what;
    std::string input;
    std::string expected;
  };
  const Case cases[] = {
      {"plain", "Game One (1.0.0)", "Game One (1.0.0)"},
      {"letters past ASCII stay", "Caf\xC3\xA9 \xE6\x97\xA5\xF0\x9F\x8E\xAE",
       "Caf\xC3\xA9 \xE6\x97\xA5\xF0\x9F\x8E\xAE"},
      {"CSI clear screen", "A\x1B[2JB", "A" + kFffd + "[2JB"},
      {"OSC title, BEL ended", "\x1B]0;pwned\x07", kFffd + "]0;pwned" + kFffd},
      {"carriage return and tab", "a\rb\tc", "a" + kFffd + "b" + kFffd + "c"},
      {"NUL", std::string("a\0b", 3), "a" + kFffd + "b"},
      {"DEL", "a\x7F", "a" + kFffd},
      {"C1 CSI as UTF-8",
       "a\xC2\x9B"
       "31m",
       "a" + kFffd + "31m"},
      {"C1 NEL and first C1", "\xC2\x85\xC2\x80", kFffd + kFffd},
      {"no-break space stays",
       "a\xC2\xA0"
       "b",
       "a\xC2\xA0"
       "b"},
      {"right-to-left override", "exe.\xE2\x80\xAEtxt", "exe." + kFffd + "txt"},
      {"embeddings and pop", "\xE2\x80\xAA\xE2\x80\xAB\xE2\x80\xAC\xE2\x80\xAD",
       kFffd + kFffd + kFffd + kFffd},
      {"isolates", "\xE2\x81\xA6x\xE2\x81\xA9", kFffd + "x" + kFffd},
      {"left-to-right and right-to-left marks", "a\xE2\x80\x8E\xE2\x80\x8F", "a" + kFffd + kFffd},
      {"Arabic letter mark", "\xD8\x9C", kFffd},
      {"line and paragraph separators", "a\xE2\x80\xA8\xE2\x80\xA9", "a" + kFffd + kFffd},
      {"byte order mark inside a name", "mod\xEF\xBB\xBF.dll", "mod" + kFffd + ".dll"},
      {"zero-width space and joiner", "\xE2\x80\x8B\xE2\x80\x8D", kFffd + kFffd},
      {"tag characters", "\xF3\xA0\x80\x81\xF3\xA0\x81\xBF", kFffd + kFffd},
      {"lone C1 byte",
       "a\x9B"
       "b",
       "a" + kFffd + "b"},
      {"cut sequence", "a\xE6\x97", "a" + kFffd},
  };
  for (const Case& c : cases) EXPECT_EQ(displayText(c.input), c.expected) << c.what;
}

// The edges of the format characters (general category Cf) and of their neighbours that show.
TEST(DisplayText, ReplacesEveryFormatCharacterAndNoNeighbour) {
  const char32_t unseen[] = {0x00AD,  0x0600,  0x0605,  0x061C,  0x06DD,  0x070F,  0x0890,
                             0x0891,  0x08E2,  0x180E,  0x200B,  0x200F,  0x2028,  0x202E,
                             0x2060,  0x2064,  0x2066,  0x206F,  0xFEFF,  0xFFF9,  0xFFFB,
                             0x110BD, 0x110CD, 0x13430, 0x1343F, 0x1BCA0, 0x1BCA3, 0x1D173,
                             0x1D17A, 0xE0001, 0xE0020, 0xE007F};
  const char32_t shown[] = {0x00AC,  0x00AE,  0x05FF,  0x0606,  0x061B,  0x061D,  0x06DC,
                            0x06DE,  0x070E,  0x0710,  0x088F,  0x0892,  0x08E1,  0x08E3,
                            0x180D,  0x180F,  0x200A,  0x2010,  0x2027,  0x202F,  0x205F,
                            0x2070,  0xFEFE,  0xFF00,  0xFFF8,  0xFFFC,  0x110BC, 0x110BE,
                            0x110CC, 0x110CE, 0x1342F, 0x13440, 0x1BC9F, 0x1BCA4, 0x1D172,
                            0x1D17B, 0xE0000, 0xE0002, 0xE001F, 0xE0080, 0x10FFFF};
  for (char32_t c : unseen) {
    std::string text;
    appendUtf8(text, c);
    EXPECT_EQ(displayText("x" + text), "x\xEF\xBF\xBD") << std::hex << static_cast<uint32_t>(c);
  }
  for (char32_t c : shown) {
    std::string text;
    appendUtf8(text, c);
    EXPECT_EQ(displayText("x" + text), "x" + text) << std::hex << static_cast<uint32_t>(c);
  }
}

}  // namespace
}  // namespace velm
