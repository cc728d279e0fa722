#include "os/command_line.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace velm {
namespace {

TEST(CommandLine, JoinsTheLauncherTheGameAndTheArguments) {
  EXPECT_EQ(buildCommandLine("C:\\G\\Velm Co-op\\coop.exe", "C:\\G\\game.exe", "-windowed"),
            "\"C:\\G\\Velm Co-op\\coop.exe\" C:\\G\\game.exe -windowed");
  EXPECT_EQ(buildCommandLine("C:\\G\\Velm Co-op\\coop.exe", "C:\\My G\\game.exe", ""),
            "\"C:\\G\\Velm Co-op\\coop.exe\" \"C:\\My G\\game.exe\"");
  EXPECT_EQ(buildCommandLine("a", "b", "\"x"), "a b \"x");  // the user's text is not quoted
  EXPECT_EQ(buildCommandLine("", "", " "), "\"\" \"\"  ");
}

TEST(CommandLine, QuoteArgument) {
  struct Case {
    std::string text;
    std::string quoted;
  } cases[] = {
      {"a\\b", "a\\b"},
      {"a b", "\"a b\""},
      {"a\\\"b", "\"a\\\\\\\"b\""},
      {"c:\\my dir\\", "\"c:\\my dir\\\\\""},
      {"", "\"\""},
      {"a\tb", "\"a\tb\""},
      {"a\nb", "\"a\nb\""},
      {"a\vb", "\"a\vb\""},
      {"\"", "\"\\\"\""},
      {"a\\\\\"b", "\"a\\\\\\\\\\\"b\""},  // two backslashes before a quote become five
      {"a\\\\b c", "\"a\\\\b c\""},        // backslashes elsewhere stay as they are
      {"\\\\server\\share\\", "\\\\server\\share\\"},
      {"-windowed", "-windowed"},
      {"\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"},
      {"a\rb", "a\rb"},
  };
  for (const Case& c : cases) EXPECT_EQ(quoteArgument(c.text), c.quoted) << c.text;
}

TEST(CommandLine, SplitCommandLine) {
  using Args = std::vector<std::string>;
  struct Case {
    std::string line;
    Args arguments;
  } cases[] = {
      {"", {}},
      {" \t ", {}},
      {"a b", {"a", "b"}},
      {"  a \t b  ", {"a", "b"}},
      {"\"a b\" c", {"a b", "c"}},
      {"\"\"", {""}},
      {"a \"\" b", {"a", "", "b"}},
      {"a\\\\b", {"a\\\\b"}},
      {"a\\\"b", {"a\"b"}},
      {"a\\\\\"b c\"", {"a\\b c"}},
      {"\"a\"\"b\" c", {"a\"b", "c"}},
      {"\"open b", {"open b"}},
      {"a\\", {"a\\"}},
      {"\"c:\\my dir\\\\\"", {"c:\\my dir\\"}},
      {"a\"b c\"d e", {"ab cd", "e"}},
      {"a\nb\vc", {"a\nb\vc"}},
      {"\"C:\\Program Files\\Velm Co-op\\coop.exe\" C:\\G\\game.exe -windowed",
       {"C:\\Program Files\\Velm Co-op\\coop.exe", "C:\\G\\game.exe", "-windowed"}},
      // A POSIX folder may hold a quote; the program token gives it back too.
      {"\"/home/a\\\"b/Velm Co-op/coop.exe\" /home/a\\\"b/game.exe",
       {"/home/a\"b/Velm Co-op/coop.exe", "/home/a\"b/game.exe"}},
  };
  for (const Case& c : cases) EXPECT_EQ(splitCommandLine(c.line), c.arguments) << c.line;
}

std::string joinQuoted(const std::vector<std::string>& arguments, size_t from) {
  std::string line;
  for (size_t i = from; i < arguments.size(); ++i) {
    if (i != from) line += ' ';
    line += quoteArgument(arguments[i]);
  }
  return line;
}

TEST(CommandLine, SplitUndoesQuoting) {
  const std::vector<std::string> pieces = {"a",    "Z",  " ",  "\t",       "\"", "\\",
                                           "\\\\", "\n", "\v", "\xC3\xA9", "=",  "-"};
  std::mt19937 random(20240611);
  for (int round = 0; round < 3000; ++round) {
    std::vector<std::string> arguments(2 + random() % 5);
    for (std::string& argument : arguments) {
      size_t length = random() % 9;
      for (size_t i = 0; i < length; ++i) argument += pieces[random() % pieces.size()];
    }
    std::string line = joinQuoted(arguments, 0);
    EXPECT_EQ(splitCommandLine(line), arguments) << line;
    std::string built = buildCommandLine(arguments[0], arguments[1], joinQuoted(arguments, 2));
    EXPECT_EQ(built, line);
  }
}

// The environment functions run on wide text on Windows and on bytes in the POSIX port; both
// forms are checked on every build.
template <class String>
class Environment : public ::testing::Test {
 protected:
  static String s(const std::string& ascii) { return String(ascii.begin(), ascii.end()); }
  static std::vector<String> list(const std::vector<std::string>& entries) {
    std::vector<String> result;
    for (const std::string& entry : entries) result.push_back(s(entry));
    return result;
  }
};
using StringTypes = ::testing::Types<std::string, std::wstring>;
TYPED_TEST_SUITE(Environment, StringTypes);

TYPED_TEST(Environment, SplitsBlocks) {
  using String = TypeParam;
  EXPECT_TRUE(splitEnvironmentBlock<String>(nullptr).empty());
  String empty = this->s(std::string(2, '\0'));
  EXPECT_TRUE(splitEnvironmentBlock<String>(empty.c_str()).empty());
  String block = this->s(std::string("=C:=C:\\Games\0A=1\0B=\0\0", 21));
  EXPECT_EQ(splitEnvironmentBlock<String>(block.c_str()),
            this->list({"=C:=C:\\Games", "A=1", "B="}));
}

TYPED_TEST(Environment, NamesEntries) {
  struct Case {
    const char* entry;
    const char* name;
  } cases[] = {
      {"PATH=/bin", "PATH"},
      {"=C:=C:\\Games", "=C:"},
      {"A==b", "A"},
      {"==x", "="},
      {"=", "="},
      {"", ""},
      {"NAME", "NAME"},
      {"=A", "=A"},
      {"A=", "A"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(environmentName(this->s(c.entry)), this->s(c.name)) << c.entry;
  }
}

TYPED_TEST(Environment, ReplacesSteamIdsAndSorts) {
  auto before = this->list({"ZED=1", "SteamAppID=1", "Path=a", "steamgameid=2", "_=u", "PATH=b",
                            "b=v", "=C:=C:\\Games", "A1=x", "A=z", "SteamAppIdX=k",
                            "XSteamGameId=k", "STEAMAPPID", "STEAMGAMEID=3"});
  auto expected =
      this->list({"=C:=C:\\Games", "A=z", "A1=x", "b=v", "Path=a", "PATH=b", "SteamAppId=480",
                  "SteamAppIdX=k", "SteamGameId=480", "XSteamGameId=k", "ZED=1", "_=u"});
  EXPECT_EQ(buildEnvironment(before, 480), expected);
}

// Enough equal names that an unstable sort would reorder them.
TYPED_TEST(Environment, EqualNamesKeepTheirOrder) {
  const char* spellings[] = {"Path", "PATH", "path", "pAth"};
  std::vector<std::string> entries;
  for (int i = 0; i < 60; ++i) {
    entries.push_back(std::string(i % 7 == 0 ? "ZED" : spellings[i % 4]) + "=" + std::to_string(i));
  }
  std::vector<std::string> expected;
  for (const std::string& entry : entries) {
    if (entry[0] != 'Z') expected.push_back(entry);
  }
  expected.push_back("SteamAppId=1");
  expected.push_back("SteamGameId=1");
  for (const std::string& entry : entries) {
    if (entry[0] == 'Z') expected.push_back(entry);
  }
  EXPECT_EQ(buildEnvironment(this->list(entries), 1), this->list(expected));
}

TYPED_TEST(Environment, ZeroIdKeepsTheListAsItIs) {
  auto before = this->list({"Z=1", "SteamAppID=1", "a=2"});
  EXPECT_EQ(buildEnvironment(before, 0), before);
}

TYPED_TEST(Environment, EmptyListGetsOnlySteamIds) {
  EXPECT_EQ(buildEnvironment(std::vector<TypeParam>(), UINT64_MAX),
            this->list({"SteamAppId=18446744073709551615", "SteamGameId=18446744073709551615"}));
}

TYPED_TEST(Environment, JoinsBlocks) {
  using String = TypeParam;
  EXPECT_EQ(joinEnvironmentBlock(std::vector<String>()), this->s(std::string(2, '\0')));
  auto entries = this->list({"A=1", "=C:=C:\\"});
  String block = joinEnvironmentBlock(entries);
  EXPECT_EQ(block, this->s(std::string("A=1\0=C:=C:\\\0\0", 13)));
  EXPECT_EQ(splitEnvironmentBlock<String>(block.c_str()), entries);
}

// Code units above 0x7F sort after every ASCII letter, in either string form.
TEST(Environment, SortsUnitsUnsigned) {
  std::vector<std::string> bytes = {"\xC3\xA9=1", "Z=2"};
  EXPECT_EQ(buildEnvironment(bytes, 7),
            (std::vector<std::string>{"SteamAppId=7", "SteamGameId=7", "Z=2", "\xC3\xA9=1"}));
  std::vector<std::wstring> wide = {L"\u00E9=1", L"\uFFFD=3", L"Z=2"};
  EXPECT_EQ(buildEnvironment(wide, 7),
            (std::vector<std::wstring>{L"SteamAppId=7", L"SteamGameId=7", L"Z=2", L"\u00E9=1",
                                       L"\uFFFD=3"}));
}

}  // namespace
}  // namespace velm
