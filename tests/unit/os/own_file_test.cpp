#include "os/own_file.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace velm {
namespace {

// A listed stamp must be the one a file's own look-up gives, or the record of verified files,
// written from the latter, would never vouch for a file again.
TEST(FolderStamps, GiveEveryNameTheStampItsOwnLookUpGives) {
  TempDir dir;
  dir.write("a.pak", "alpha");
  dir.write("sub/b.pak", "beta");
  dir.write("dir.pak/keep", "");
  FolderStamps stamps;
  const struct {
    const char* name;
    int plain;  // 1 or 0 on every system; -1: as the file system spells names
  } cases[] = {{"a.pak", 1},        {"sub/b.pak", 1}, {"dir.pak", 0}, {"gone.pak", 0},
               {"sub/gone.pak", 0}, {"A.PAK", -1},    {"a.pak", 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::filesystem::path path = dir.path() / std::filesystem::u8path(c.name);
    FileStamp alone;
    FileStamp listed;
    const bool plain = plainFileStamp(path, alone);
    if (c.plain >= 0) {
      EXPECT_EQ(plain, c.plain == 1);
    }
    ASSERT_EQ(stamps.stampOf(path, listed), plain);
    if (plain) {
      EXPECT_EQ(listed, alone);
    }
  }
}

}  // namespace
}  // namespace velm
