// The POSIX entry's own arguments, quoted as Windows would hold them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/startup.h"
#include "os/command_line.h"

namespace velm {
namespace {

// The POSIX entry used to quote its whole argv, program included, and cut the program off again
// with argumentTail. A program path holding a double quote (legal in a POSIX folder name) then
// swallowed the arguments: /tmp/a"b/velm-coop --version ran the launch instead of printing the
// version. The arguments are now quoted without the program.
TEST(Startup, QuotesTheArgumentsWithoutTheProgram) {
  struct Case {
    std::vector<std::string> arguments;
    std::string text;
  } cases[] = {
      {{}, ""},
      {{"--version"}, "--version"},
      {{"-windowed", "a b", ""}, "-windowed \"a b\" \"\""},
      {{"a\"b", "c:\\my dir\\"}, "\"a\\\"b\" \"c:\\my dir\\\\\""},
  };
  for (const Case& c : cases) EXPECT_EQ(quotedArguments(c.arguments), c.text) << c.text;
}

TEST(Startup, QuotedArgumentsReachTheGameUnchanged) {
  const std::string launcher = "/home/a\"b/Velm Co-op/coop.exe";
  const std::string game = "/home/a\"b/game.exe";
  const std::vector<std::vector<std::string>> lists = {
      {},
      {"--version"},
      {"", " ", "\t", "\"", "\\", "\\\"", "a\\\\", "\"a b\"", "x\ny"},
      {"--name=\"Jo Doe\"", "C:\\Program Files\\", "\xC3\xA9t\xC3\xA9"},
  };
  for (const std::vector<std::string>& arguments : lists) {
    const std::string text = quotedArguments(arguments);
    std::vector<std::string> expected = {launcher, game};
    expected.insert(expected.end(), arguments.begin(), arguments.end());
    EXPECT_EQ(splitCommandLine(buildCommandLine(launcher, game, text)), expected) << text;
  }
}

}  // namespace
}  // namespace velm
