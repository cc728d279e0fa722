#include "catalogue/file_name.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text/ascii.h"

namespace velm {
namespace {

const char kNotAllowed[] = "contains a character Windows does not allow (< > \" | ? *)";

std::string repeat(const std::string& piece, size_t times) {
  std::string text;
  for (size_t i = 0; i < times; ++i) text += piece;
  return text;
}

struct Refusal {
  std::string name;
  std::string reason;
};

void expectRefusals(const std::vector<Refusal>& cases) {
  for (const Refusal& c : cases) {
    std::string reason = "untouched";
    EXPECT_FALSE(isPlainFileName(c.name, &reason)) << c.name;
    EXPECT_EQ(reason, c.reason) << c.name;
  }
}

TEST(FileName, AcceptsPlainNames) {
  const std::vector<std::string> names = {
      "game.exe",
      "a",
      "a.b.c",
      ".hidden",
      "two words.txt",
      "b\xC3\xBC"
      "cher.dll",   // bytes from 0x80 up pass
      "a\x80\xFF",  // malformed UTF-8 is not refused for that
      "com0",
      "com10",
      "lpt0.txt",
      "console",
      "conx",
      "connection.txt",
      "nul-free.dat",
      "com\xC2\xB9x",     // superscript one, then more
      "com\xC2\xB4",      // acute accent, not a superscript digit
      "com\xE2\x81\xB4",  // superscript four is not a port
      "comm1",
      "xcon",
  };
  for (const std::string& name : names) {
    std::string reason = "untouched";
    EXPECT_TRUE(isPlainFileName(name, &reason)) << name;
    EXPECT_EQ(reason, "untouched") << name;
    EXPECT_TRUE(isPlainFileName(name, nullptr)) << name;
  }
}

TEST(FileName, RefusesWithoutReasonPointer) {
  EXPECT_FALSE(isPlainFileName("", nullptr));
  EXPECT_FALSE(isPlainFileName("a/b", nullptr));
  EXPECT_FALSE(isPlainFileName("con", nullptr));
}

TEST(FileName, EmptyAndLength) {
  const std::string twoByte = "\xC3\xA9";           // e acute
  const std::string fourByte = "\xF0\x9F\x98\x80";  // an emoji
  const std::vector<std::string> passing = {
      repeat("a", 255),          repeat(twoByte, 255),  // 510 bytes, 255 characters
      repeat(fourByte, 255),     repeat("a", 254) + "\xE2\x82\xAC",
      "a" + repeat("\x80", 300),  // continuation bytes alone do not count
  };
  for (const std::string& name : passing) {
    EXPECT_TRUE(isPlainFileName(name, nullptr)) << name.size() << " bytes";
  }
  expectRefusals({
      {"", "is empty"},
      {repeat("a", 256), "is longer than 255 characters"},
      {repeat(twoByte, 256), "is longer than 255 characters"},
      {repeat("a", 255) + "\xE2\x82\xAC", "is longer than 255 characters"},
      // Length comes before the byte scan.
      {"/" + repeat("a", 255), "is longer than 255 characters"},
  });
}

TEST(FileName, ForbiddenBytesEarliestDecides) {
  expectRefusals({
      {"a/b", "contains /"},
      {"a\\b", "contains \\"},
      {"a:b", "contains :"},
      {"a:b/c", "contains :"},
      {"a/b:c", "contains /"},
      {"a\\b/c", "contains \\"},
      {"a\tb", "contains a control character"},
      {std::string("a\0b", 3), "contains a control character"},
      {"a\x1F", "contains a control character"},
      {"a\x7F", "contains a control character"},
      {"a\nb/", "contains a control character"},
      {"a<b", kNotAllowed},
      {"a>b", kNotAllowed},
      {"a\"b", kNotAllowed},
      {"a|b", kNotAllowed},
      {"what?", kNotAllowed},
      {"*.exe", kNotAllowed},
      {"a*b/c", kNotAllowed},
      {"a?b\x01", kNotAllowed},
      // The byte scan comes before the dot and blank rules.
      {"..\\x", "contains \\"},
      {" a/", "contains /"},
      {"con:", "contains :"},
  });
}

TEST(FileName, DotsAndBlanks) {
  expectRefusals({
      {".", "is . or .."},
      {"..", "is . or .."},
      {"...", "contains .."},
      {"a..b", "contains .."},
      {"..a", "contains .."},
      {"a..", "contains .."},
      {" a", "starts with a space"},
      {" a ", "starts with a space"},
      {" ", "starts with a space"},
      {" .", "starts with a space"},
      {"a ", "ends with a space"},
      {"game.exe ", "ends with a space"},
      {"a. ", "ends with a space"},
      {"game.", "ends with ."},
      {"con.", "ends with ."},
  });
}

TEST(FileName, ReservedDeviceNames) {
  const std::string reserved = "is a Windows reserved device name";
  expectRefusals({
      {"CON", reserved},
      {"con.txt", reserved},
      {"Con .txt", reserved},
      {"nul.tar.gz", reserved},
      {"PRN", reserved},
      {"aux.h", reserved},
      {"CONIN$", reserved},
      {"conout$.log", reserved},
      {"clock$.log", reserved},
      {"COM1", reserved},
      {"com9.txt", reserved},
      {"lpt9.dat", reserved},
      {"LPT1", reserved},
      {"com\xC2\xB9", reserved},
      {"COM\xC2\xB2", reserved},
      {"lpt\xC2\xB3.txt", reserved},
      {"con   .exe", reserved},
      // Blanks around the name are refused by their own rules first.
      {" con", "starts with a space"},
      {"con ", "ends with a space"},
  });
}

TEST(FileName, IsReservedDeviceName) {
  struct Case {
    std::string name;
    bool reserved;
  };
  const std::vector<Case> cases = {
      {"con", true},
      {"CoN", true},
      {"con.", true},
      {"con .x", true},
      {"con  ", true},
      {"aux", true},
      {"prn.a.b", true},
      {"nul", true},
      {"conin$", true},
      {"CONOUT$", true},
      {"clock$", true},
      {"com5", true},
      {"lpt7.x", true},
      {"com\xC2\xB3", true},
      {"lpt\xC2\xB9", true},
      {"", false},
      {" ", false},
      {".con", false},
      {"com", false},
      {"lpt", false},
      {"com0", false},
      {"lpt0", false},
      {"com10", false},
      {"com1x", false},
      {"con$", false},
      {"clock", false},
      {"conin", false},
      {"com\xC2", false},
      {"com\xC2\xB9\xC2\xB9", false},
      {"co", false},
      {"nulx", false},
      {" con", false},
      {"con\t", false},
  };
  for (const Case& c : cases) EXPECT_EQ(isReservedDeviceName(c.name), c.reserved) << c.name;
}

TEST(FileName, EndsWithExe) {
  struct Case {
    std::string name;
    bool exe;
  };
  const std::vector<Case> cases = {
      {"GAME.EXE", true},
      {"game.Exe", true},
      {".exe", true},
      {"a.eXe", true},
      {"exe", false},
      {".ex", false},
      {"", false},
      {"game.exe ", false},
      {"gameexe", false},
      {"game.exe.txt", false},
      {"game.ex\xC3\xA9", false},
  };
  for (const Case& c : cases) EXPECT_EQ(endsWithExe(c.name), c.exe) << c.name;
}

TEST(FileName, ToLowerAsciiChangesOnlyAsciiLetters) {
  std::string all;
  for (int byte = 0; byte < 256; ++byte) all += static_cast<char>(byte);
  const std::string lowered = toLowerAscii(all);
  ASSERT_EQ(lowered.size(), 256u);
  for (int byte = 0; byte < 256; ++byte) {
    const int expected = (byte >= 'A' && byte <= 'Z') ? byte + 32 : byte;
    EXPECT_EQ(static_cast<unsigned char>(lowered[byte]), expected) << "byte " << byte;
  }
  EXPECT_EQ(toLowerAscii("B\xC3\x9C"
                         "CHER.EXE"),
            "b\xC3\x9C"
            "cher.exe");
}

}  // namespace
}  // namespace velm
