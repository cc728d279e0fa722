#include "package/name_compare.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velm {
namespace {

#ifdef _WIN32
constexpr bool kFoldsEveryLetter = true;  // NTFS keeps one of Ä.dll and ä.dll
#else
constexpr bool kFoldsEveryLetter = false;
#endif

TEST(NameCompare, SameFileName) {
  struct Case {
    std::string a;
    std::string b;
    bool same;
  };
  const std::vector<Case> cases = {
      {"coop.exe", "coop.exe", true},
      {"Coop.EXE", "coop.exe", true},
      {"coop.exe", "coop.exe.new", false},
      {"coop.exe", "coop.ex", false},
      {"a", "", false},
      {"", "", true},
      {"\xC3\x84.dll", "\xC3\xA4.dll", kFoldsEveryLetter},  // Ä, ä
      {"\xCE\xA3.dat", "\xCF\x83.dat", kFoldsEveryLetter},  // Σ, σ
      {"\xD0\x96.txt", "\xD0\xB6.txt", kFoldsEveryLetter},  // Ж, ж
      {"\xC3\x84.dll", "A.dll", false},                     // no accent folding
      {"e\xCC\x81.txt", "\xC3\xA9.txt", false},             // nor normalisation
      {"stra\xC3\x9F"
       "e",
       "STRASSE", false},  // ß is not "SS"
  };
  for (const Case& c : cases) {
    EXPECT_EQ(sameFileName(c.a, c.b), c.same) << c.a << " vs " << c.b;
    EXPECT_EQ(sameFileName(c.b, c.a), c.same) << c.b << " vs " << c.a;
  }
}

}  // namespace
}  // namespace velm
