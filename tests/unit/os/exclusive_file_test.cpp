#include "os/exclusive_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "os/os_error.h"
#include "support/temp_dir.h"
#include "unit/os/link_maker.h"

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

TEST(ExclusiveFile, LetsReadersInWhileItIsWritten) {
  TempDir dir;
  dir.write("coop.pak.new", "an older download");
  ExclusiveFile file;
  ASSERT_TRUE(file.open(dir.path() / "coop.pak.new"));
  ASSERT_TRUE(file.write("new", 3));
  ASSERT_EQ(std::fflush(nullptr), 0);
  std::ifstream reader(dir.path() / "coop.pak.new", std::ios::binary);
  ASSERT_TRUE(reader.is_open()) << "a reader was kept out";
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(reader), {}), "new");
  reader.close();  // the reader's own sharing must not be what keeps a delete out
#ifdef _WIN32
  std::error_code error;
  EXPECT_FALSE(std::filesystem::remove(dir.path() / "coop.pak.new", error))
      << "deleted while it is written";
#endif
  EXPECT_TRUE(file.close());
}

// Whatever the stream's buffer, every byte written is in the file once it is read back, emptied
// or closed: kept bytes first, then the writes in order.
TEST(ExclusiveFile, LosesNoWriteWhateverItsBuffer) {
  for (size_t buffer : {size_t{0}, size_t{7}, size_t{65536}}) {
    SCOPED_TRACE("buffer " + std::to_string(buffer));
    TempDir dir;
    dir.write("big.pak.new", "kept|");
    FileIdentity known;
    ASSERT_TRUE(plainFileIdentity(dir.path() / "big.pak.new", known));
    ExclusiveFile file;
    FileClaim claim;
    claim.known = &known;
    ASSERT_TRUE(
        file.open(dir.path() / "big.pak.new", ExclusiveFile::Existing::Keep, buffer, claim));
    std::string expected = "kept|";
    for (int i = 0; i < 10; ++i) {
      const std::string chunk = "chunk" + std::to_string(i) + ";";
      ASSERT_TRUE(file.write(chunk.data(), chunk.size()));
      expected += chunk;
    }
    std::string readBack;
    uint64_t size = 0;
    ASSERT_TRUE(file.readBack(
        [&readBack](const char* data, size_t length) { readBack.append(data, length); }, size));
    EXPECT_EQ(readBack, expected);
    EXPECT_EQ(size, expected.size());

    ASSERT_TRUE(file.write("after", 5));
    ASSERT_TRUE(file.restart());
    ASSERT_TRUE(file.write("again", 5));
    ASSERT_TRUE(file.close());
    EXPECT_EQ(dir.read("big.pak.new"), "again");
  }
}

TEST(ExclusiveFile, FailsInAFolderThatIsNotThere) {
  TempDir dir;
  ExclusiveFile file;
  EXPECT_FALSE(file.open(dir.path() / "missing" / "a.new"));
  EXPECT_FALSE(file.write("x", 1));
  EXPECT_FALSE(file.close());
}

// Whatever stands at the name and is not the launcher's own plain file is never written
// through, truncated or continued: without an aside folder it is refused, with one it is moved
// there and the file is made anew.
TEST(ExclusiveFile, NeverWritesThroughWhatItDidNotMake) {
  TempDir dir;
  const auto victim = dir.write("elsewhere/victim.txt", "the player's file");
  const auto missing = dir.path() / "elsewhere" / "missing.txt";
  const auto name = dir.path() / "coop.exe.new";
  const auto aside = dir.path() / "..aside";
  struct Case {
    const char* label;
    std::function<bool()> plant;
    bool refusedWithoutAside;
  };
  const std::vector<Case> cases = {
      {"link to a file", [&] { return makeFileLink(name, victim); }, true},
      {"link to no file", [&] { return makeFileLink(name, missing); }, true},
      {"link to a folder", [&] { return makeFolderLink(name, victim.parent_path()); }, true},
      {"second name of a file",
       [&] {
         std::error_code error;
         std::filesystem::create_hard_link(victim, name, error);
         return !error;
       },
       true},
      {"plain file it never made", [&] { return dir.write("coop.exe.new", "?"), true; }, false},
  };
  for (const Case& c : cases) {
    for (const bool withAside : {false, true}) {
      SCOPED_TRACE(std::string(c.label) + (withAside ? ", with aside" : ""));
      std::filesystem::remove(name);
      std::filesystem::remove_all(aside);
      if (!c.plant()) GTEST_SKIP() << kNoLinksHere;
      FileIdentity victimIdentity;
      const bool victimKnown = plainFileIdentity(victim, victimIdentity);
      ExclusiveFile file;
      FileClaim claim;
      if (withAside) claim.asideFolder = aside;
      // Keep with the identity of the file a link leads to: still never continued.
      if (victimKnown) claim.known = &victimIdentity;
      const bool opened = file.open(name, ExclusiveFile::Existing::Keep, 0, claim);
      EXPECT_EQ(opened, withAside || !c.refusedWithoutAside);
      if (opened) {
        EXPECT_TRUE(file.write("new", 3));
        EXPECT_TRUE(file.close());
        EXPECT_EQ(dir.read("coop.exe.new"), "new");
      }
      EXPECT_EQ(dir.read("elsewhere/victim.txt"), "the player's file");
      EXPECT_FALSE(std::filesystem::exists(missing)) << "a dangling link's file was made";
      if (withAside && c.refusedWithoutAside) {
        EXPECT_TRUE(
            std::filesystem::exists(std::filesystem::symlink_status(aside / "coop.exe.new.1")))
            << "not moved aside";
      }
    }
  }
}

}  // namespace
}  // namespace velm
