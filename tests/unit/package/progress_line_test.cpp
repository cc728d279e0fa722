#include "package/progress_line.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace velm {
namespace {

TEST(ProgressLine, SizeText) {
  struct Case {
    uint64_t bytes;
    std::string text;
  };
  const std::vector<Case> cases = {
      {1, "0 KB"},
      {512, "0 KB"},
      {1023, "0 KB"},
      {1024, "1 KB"},
      {1048575, "1023 KB"},
      {1048576, "1.0 MB"},
      {1572864, "1.5 MB"},
      {5242880, "5.0 MB"},
      {10485759, "10.0 MB"},
      {10485760, "10 MB"},
      {11534335, "10 MB"},
      {1099511627776, "1048576 MB"},
      {UINT64_MAX, "17592186044415 MB"},
  };
  for (const Case& c : cases) EXPECT_EQ(sizeText(c.bytes), c.text) << c.bytes;
}

// What a progress line of a 5 MB file drew from 0 to 100 %, blank included.
std::string drawn(const std::string& name) {
  FILE* out = std::tmpfile();
  EXPECT_NE(out, nullptr);
  if (out == nullptr) return std::string();
  ManifestFile file;
  file.name = name;
  file.size = 5000000;
  ProgressLine line(out, file);
  line.update(0);
  line.update(file.size);
  line.finish(true);
  std::string text(static_cast<size_t>(std::ftell(out)), '\0');
  std::rewind(out);
  text.resize(std::fread(&text[0], 1, text.size(), out));
  std::fclose(out);
  return text;
}

// The line keeps to one row of 80 columns, and the blank covers all it drew, 40 columns at least.
TEST(ProgressLine, KeepsToOneRowAndBlanksAllItDrew) {
  struct Case {
    std::string name;
    std::string shown;
    size_t blank;
  };
  const std::string han = "\xE6\x97\xA5";  // two columns
  std::string longName;
  for (int i = 0; i < 20; ++i) longName += "part" + std::to_string(i) + "-";
  longName += "end.pak";
  std::string wide;
  for (int i = 0; i < 40; ++i) wide += han;
  std::string wideHead, wideTail;
  for (int i = 0; i < 16; ++i) wideHead += han;
  for (int i = 0; i < 17; ++i) wideTail += han;
  const std::vector<Case> cases = {
      {"big.pak", "big.pak", 40},
      {std::string(30, 'n'), std::string(30, 'n'), 40},
      {std::string(31, 'n'), std::string(31, 'n'), 41},
      {std::string(69, 'n'), std::string(69, 'n'), 79},
      {std::string(33, 'a') + "m" + std::string(33, 'z') + ".pak",
       std::string(33, 'a') + "..." + std::string(29, 'z') + ".pak", 79},
      {longName, longName.substr(0, 33) + "..." + longName.substr(longName.size() - 33), 79},
      {wide, wideHead + "..." + wideTail, 79},
      {"a\x1B[2J" + std::string(100, 'b'),
       "a\xEF\xBF\xBD[2J" + std::string(28, 'b') + "..." + std::string(33, 'b'), 79},
  };
  for (const Case& c : cases) {
    const std::string shown = "\r[*] " + c.shown;
    EXPECT_EQ(drawn(c.name),
              shown + "    0%" + shown + "  100%\r" + std::string(c.blank, ' ') + "\r")
        << c.name;
  }
}

}  // namespace
}  // namespace velm
