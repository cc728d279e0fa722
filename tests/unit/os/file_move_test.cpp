#include "os/file_move.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <system_error>

#include "os/os_error.h"
#include "support/temp_dir.h"
#include "unit/os/link_maker.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace velm {
namespace {

namespace fs = std::filesystem;

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

// The refusal is worded by the system, inside one line of the launcher's: Wine has no text for
// some of the codes a link could be refused with.
TEST(FileMove, KeepsABackupThatAMoveOverTheFileLeavesAlone) {
  TempDir dir;
  dir.write("a.dll", "old bytes");
  dir.write("a.dll.new", "new bytes");
  dir.write("kept/a.dll", "a backup of an earlier run");
  std::error_code error;
  ASSERT_TRUE(keepBackup(dir.path() / "a.dll", dir.path() / "kept" / "a.dll", error))
      << systemErrorMessage(error);
  ASSERT_TRUE(moveReplacing(dir.path() / "a.dll.new", dir.path() / "a.dll", error));
  EXPECT_EQ(dir.read("a.dll"), "new bytes");
  EXPECT_EQ(dir.read("kept/a.dll"), "old bytes");
  // And back: the put-back of a failed update is the same move the other way.
  ASSERT_TRUE(moveReplacing(dir.path() / "kept" / "a.dll", dir.path() / "a.dll", error));
  EXPECT_EQ(dir.read("a.dll"), "old bytes");
  EXPECT_FALSE(keepBackup(dir.path() / "missing", dir.path() / "kept" / "missing", error));
  EXPECT_TRUE(error);
}

TEST(FileMove, RemovesFilesFoldersAndLinksWithoutFollowing) {
  TempDir dir;
  dir.write("a.dll", "x");
  dir.write("full/inside", "x");
  std::error_code error;
  EXPECT_TRUE(removeFile(dir.path() / "a.dll", error));
  EXPECT_FALSE(dir.exists("a.dll"));
  EXPECT_TRUE(removeFile(dir.path() / "a.dll", error)) << "a missing file is no failure";
  EXPECT_FALSE(removeFolder(dir.path() / "full", error)) << "a folder with a file stays";
  EXPECT_EQ(dir.read("full/inside"), "x");
  fs::create_directory(dir.path() / "empty");
  EXPECT_TRUE(removeFolder(dir.path() / "empty", error));
  EXPECT_FALSE(fs::exists(dir.path() / "empty"));
  if (!makeFolderLink(dir.path() / "folder link", dir.path() / "full") ||
      !makeFileLink(dir.path() / "file link", dir.path() / "full" / "inside")) {
    GTEST_SKIP() << kNoLinksHere;
  }
  EXPECT_TRUE(removeFolder(dir.path() / "folder link", error)) << systemErrorMessage(error);
  EXPECT_TRUE(removeFile(dir.path() / "file link", error)) << systemErrorMessage(error);
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir.path() / "folder link")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir.path() / "file link")));
  EXPECT_EQ(dir.read("full/inside"), "x");
}

TEST(FileMove, WordsARefusedLinkInOneLine) {
  const std::string text = systemErrorMessage(linkRefusedError());
  EXPECT_NE(text, "unknown error");
  EXPECT_NE(text, "");
  EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
}

TEST(FileMove, RefusesALinkInAnyOfItsNames) {
  struct Case {
    const char* what;
    std::function<bool()> plant;  // false when no link could be made
    fs::path source;
    fs::path target;
  };
  TempDir dir;
  const fs::path package = dir.path() / "Velm Co-op";
  const fs::path elsewhere = dir.path() / "elsewhere";
  const fs::path linked = dir.path() / "linked";
  const Case cases[] = {
      {"the target", [&] { return makeFileLink(package / "coop.exe", elsewhere / "victim.exe"); },
       package / "coop.exe.new", package / "coop.exe"},
      {"the source",
       [&] { return makeFileLink(package / "data.pak.new", elsewhere / "victim.exe"); },
       package / "data.pak.new", package / "data.pak"},
      {"the target's folder", [&] { return makeFolderLink(linked, elsewhere); },
       linked / "victim.exe.new", linked / "victim.exe"},
  };
  for (const Case& c : cases) {
    fs::remove_all(package);
    fs::remove(linked);
    dir.write("Velm Co-op/coop.exe.new", "new launcher");
    dir.write("elsewhere/victim.exe", "the player's file");
    dir.write("elsewhere/victim.exe.new", "planted");
    if (!c.plant()) GTEST_SKIP() << kNoLinksHere;
    std::error_code error;
    EXPECT_FALSE(moveReplacing(c.source, c.target, error)) << c.what;
    EXPECT_EQ(error, linkRefusedError()) << c.what;
    EXPECT_EQ(dir.read("elsewhere/victim.exe"), "the player's file") << c.what;
    EXPECT_EQ(dir.read("elsewhere/victim.exe.new"), "planted") << c.what;
    EXPECT_TRUE(fs::exists(fs::symlink_status(c.source))) << c.what << ": the source moved";
  }
}

TEST(FileMove, MovesBelowALinkedGameFolder) {
  TempDir dir;
  dir.write("library/game/Velm Co-op/data.pak.new", "new bytes");
  if (!makeFolderLink(dir.path() / "game", dir.path() / "library" / "game")) {
    GTEST_SKIP() << kNoLinksHere;
  }
  const fs::path package = dir.path() / "game" / "Velm Co-op";
  std::error_code error;
  ASSERT_TRUE(moveReplacing(package / "data.pak.new", package / "data.pak", error))
      << systemErrorMessage(error);
  EXPECT_EQ(dir.read("library/game/Velm Co-op/data.pak"), "new bytes");
}

#ifndef _WIN32
// A rename cannot cross file systems; the copy that stands in for it keeps the mode and leaves
// no source behind.
TEST(FileMove, CopiesAcrossFileSystems) {
  TempDir dir;
  const fs::path shm = "/dev/shm";
  struct stat here, there;
  if (stat(dir.path().c_str(), &here) != 0 || stat(shm.c_str(), &there) != 0 ||
      here.st_dev == there.st_dev) {
    GTEST_SKIP() << "needs /dev/shm on a file system of its own";
  }
  const fs::path source = shm / ("velm-move-" + dir.path().filename().string() + ".new");
  std::ofstream(source, std::ios::binary) << "new bytes";
  fs::permissions(source, fs::perms::owner_read | fs::perms::owner_write | fs::perms::owner_exec);
  dir.write("coop.exe", "old bytes, and longer");
  std::error_code error;
  ASSERT_TRUE(moveReplacing(source, dir.path() / "coop.exe", error)) << error.message();
  EXPECT_EQ(dir.read("coop.exe"), "new bytes");
  EXPECT_EQ(fs::status(dir.path() / "coop.exe").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::owner_exec);
  EXPECT_FALSE(fs::exists(source));
}
#endif

}  // namespace
}  // namespace velm
