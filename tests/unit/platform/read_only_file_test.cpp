#include "platform/read_only_file.h"

#include <gtest/gtest.h>

#include <string>

#include "support/temp_dir.h"

namespace velm {
namespace {

TEST(ReadWholeFile, GivesBackEveryByte) {
  TempDir dir;
  const std::string bytes("{\r\n\"a\": 1}\0\xFF\n", 13);
  dir.write("manifest.json", bytes);
  std::string text = "old";
  ASSERT_TRUE(readWholeFile(dir.path() / "manifest.json", text));
  EXPECT_EQ(text, bytes);
  dir.write("empty.json", "");
  ASSERT_TRUE(readWholeFile(dir.path() / "empty.json", text));
  EXPECT_EQ(text, "");
  text = "kept";
  EXPECT_FALSE(readWholeFile(dir.path() / "missing.json", text));
  EXPECT_EQ(text, "kept");
  // A folder in a saved copy's place is no copy, and no reason to end the run.
  dir.write("games.json/keep", "");
  EXPECT_FALSE(readWholeFile(dir.path() / "games.json", text));
  EXPECT_EQ(text, "kept");
  const std::string large(200000, 'x');  // more than one read
  dir.write("large.json", large);
  ASSERT_TRUE(readWholeFile(dir.path() / "large.json", text));
  EXPECT_EQ(text, large);
}

}  // namespace
}  // namespace velm
