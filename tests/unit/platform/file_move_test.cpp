#include "platform/file_move.h"
#include "platform/os_error.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <system_error>

#include "support/temp_dir.h"

namespace velm {
namespace {

TEST(FileMove, FlushesThenReplacesTheTarget) {
  TempDir dir;
  dir.write("a.dll.new", "new bytes");
  dir.write("a.dll", "old bytes");
  std::error_code error;
  ASSERT_TRUE(moveReplacing(dir.path() / "a.dll.new", dir.path() / "a.dll", error))
      << error.message();
  EXPECT_EQ(dir.read("a.dll"), "new bytes");
  EXPECT_FALSE(dir.exists("a.dll.new"));
}

TEST(FileMove, ReportsTheSystemsCodeWhenItCannotFlushOrMove) {
  TempDir dir;
  std::error_code error;
  EXPECT_FALSE(flushToDisk(dir.path() / "missing", error));
  EXPECT_TRUE(error);
  EXPECT_FALSE(moveReplacing(dir.path() / "missing", dir.path() / "a.dll", error));
  EXPECT_TRUE(error);
  EXPECT_FALSE(dir.exists("a.dll"));

  dir.write("b.dll.new", "new bytes");
  dir.write("b.dll/inside", "a folder in the way");
  EXPECT_FALSE(moveReplacing(dir.path() / "b.dll.new", dir.path() / "b.dll", error));
  EXPECT_NE(systemErrorMessage(error), "");
  EXPECT_EQ(dir.read("b.dll.new"), "new bytes") << "a failed move leaves the source alone";
}

}  // namespace
}  // namespace velm
