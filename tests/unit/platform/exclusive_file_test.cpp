#include "platform/exclusive_file.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace velm {
namespace {

TEST(ExclusiveFile, KeepsASecondWriterOutWithoutTruncating) {
  TempDir dir;
  const auto path = dir.path() / "coop.pak.new";
  ExclusiveFile first;
  ASSERT_TRUE(first.open(path));
  ASSERT_TRUE(first.write("first launcher", 14));
  ASSERT_EQ(std::fflush(nullptr), 0);

  ExclusiveFile second;  // another launcher in the same folder
  EXPECT_FALSE(second.open(path));
  EXPECT_EQ(dir.read("coop.pak.new"), "first launcher") << "the second open truncated it";

  ASSERT_TRUE(first.close());
  ASSERT_TRUE(second.open(path)) << "free again once the first writer closed it";
  EXPECT_EQ(dir.read("coop.pak.new"), "") << "an open truncates";
  EXPECT_TRUE(second.close());
}

TEST(ExclusiveFile, FailsInAFolderThatIsNotThere) {
  TempDir dir;
  ExclusiveFile file;
  EXPECT_FALSE(file.open(dir.path() / "missing" / "a.new"));
  EXPECT_FALSE(file.write("x", 1));
  EXPECT_FALSE(file.close());
}

}  // namespace
}  // namespace velm
