#include "os/name_compare.h"

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

struct Case {
  std::string a;
  std::string b;
  bool same;
};

// Letters past ASCII, which only the Windows rule folds.
const std::vector<Case>& nonAsciiCases() {
  static const std::vector<Case> cases = {
      {"\xC3\x84.dll", "\xC3\xA4.dll", true},    // Ä, ä
      {"\xCE\xA3.dat", "\xCF\x83.dat", true},    // Σ, σ
      {"\xD0\x96.txt", "\xD0\xB6.txt", true},    // Ж, ж
      {"\xC3\x84.dll", "A.dll", false},          // no accent folding
      {"e\xCC\x81.txt", "\xC3\xA9.txt", false},  // nor normalisation
      {"stra\xC3\x9F"
       "e",
       "STRASSE", false},  // ß is not "SS"
  };
  return cases;
}

TEST(NameCompare, SameFileName) {
  std::vector<Case> cases = {
      {"coop.exe", "coop.exe", true},
      {"Coop.EXE", "coop.exe", true},
      {"coop.exe", "coop.exe.new", false},
      {"coop.exe", "coop.ex", false},
      {"a", "", false},
      {"", "", true},
  };
  for (Case c : nonAsciiCases()) {
    c.same = c.same && kFoldsEveryLetter;
    cases.push_back(c);
  }
  for (const Case& c : cases) {
    EXPECT_EQ(sameFileName(c.a, c.b), c.same) << c.a << " vs " << c.b;
    EXPECT_EQ(sameFileName(c.b, c.a), c.same) << c.b << " vs " << c.a;
  }
}

// The publisher's rule gives the Windows launcher's answer wherever it runs.
TEST(NameCompare, SameFileNameOnWindows) {
  std::vector<Case> cases = {
      {"Coop.EXE", "coop.exe", true},
      {"coop.exe", "coop.exe.new", false},
      {"\xC3\x84.DLL.NEW", "\xC3\xA4.dll.new", true},
  };
  cases.insert(cases.end(), nonAsciiCases().begin(), nonAsciiCases().end());
  for (const Case& c : cases) {
    EXPECT_EQ(sameFileNameOnWindows(c.a, c.b), c.same) << c.a << " vs " << c.b;
    EXPECT_EQ(sameFileNameOnWindows(c.b, c.a), c.same) << c.b << " vs " << c.a;
  }
}

}  // namespace
}  // namespace velm
