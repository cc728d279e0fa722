#include "text/columns.h"

#include <gtest/gtest.h>

#include <string>

namespace velm {
namespace {

const std::string kHan = "\xE6\x97\xA5";        // U+65E5, two columns
const std::string kEmoji = "\xF0\x9F\x8E\xAE";  // U+1F3AE, two columns
const std::string kAccent = "\xC3\xA9";         // U+00E9, one

std::string repeat(const std::string& text, size_t times) {
  std::string result;
  for (size_t i = 0; i < times; ++i) result += text;
  return result;
}

TEST(Columns, CountsWideCharactersTwice) {
  struct Case {
    std::string text;
    size_t columns;
  };
  const Case cases[] = {
      {"", 0},
      {"data.pak", 8},
      {"caf" + kAccent, 4},
      {kHan + "a", 3},
      {kEmoji + kEmoji, 4},
      {"\xEF\xBF\xBD", 1},  // U+FFFD, what displayText puts in
      {"\xE1\x84\x80", 2},  // U+1100, the first wide one
      {"\xE1\x83\xBF", 1},  // U+10FF, just before it
  };
  for (const Case& c : cases) EXPECT_EQ(consoleColumns(c.text), c.columns) << c.text;
}

TEST(Columns, FitsTextByDroppingItsMiddle) {
  struct Case {
    std::string text;
    size_t columns;
    std::string fitted;
  };
  const std::string letters = "abcdefghijklmnopqrstuvwxyz";
  const Case cases[] = {
      {letters, 26, letters},
      {letters, 25, "abcdefghijk...pqrstuvwxyz"},
      {letters, 10, "abc...wxyz"},
      {letters, 4, "...z"},
      {letters, 3, "..."},
      {letters, 0, ""},
      // A wide character is never cut in two: the start stops short of one that does not fit.
      {repeat(kHan, 10), 10, repeat(kHan, 1) + "..." + repeat(kHan, 2)},
      {"a" + repeat(kHan, 10), 10, "a" + repeat(kHan, 1) + "..." + repeat(kHan, 2)},
      {repeat(kHan, 10) + ".pak", 13, kHan + kHan + "..." + kHan + ".pak"},
  };
  for (const Case& c : cases) {
    const std::string fitted = fitColumns(c.text, c.columns);
    EXPECT_EQ(fitted, c.fitted) << c.text << " in " << c.columns;
    EXPECT_LE(consoleColumns(fitted), c.columns) << c.text << " in " << c.columns;
  }
}

}  // namespace
}  // namespace velm
