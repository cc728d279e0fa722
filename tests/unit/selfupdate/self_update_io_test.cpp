// The platform's real SelfUpdateIo: the relaunch mark, file moves and deletes, a start that
// fails, and the order of its lines. Both platforms give the same answers; a missing file is
// error 2 on each (ENOENT, ERROR_FILE_NOT_FOUND).
#include "selfupdate/self_update_io.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "system_hooks.h"
#include "text/text.h"

namespace velm {
namespace {

const char kMark[] = "VELM_COOP_UPDATED";

std::wstring widePath(const TempDir& dir, const std::string& name) {
  return utf8ToWide((dir.path() / std::filesystem::u8path(name)).u8string());
}

class SystemSelfUpdateIo : public testing::Test {
 protected:
  void SetUp() override { setVariable(kMark, nullptr); }
  void TearDown() override { setVariable(kMark, nullptr); }

  SelfUpdateIo& io_ = systemSelfUpdateIo();
  TempDir dir_;
};

TEST_F(SystemSelfUpdateIo, OnlyAShortMarkBeginningWithOneIsConsumed) {
  struct Case {
    const char* value;  // nullptr: absent
    bool consumed;
  };
  const Case cases[] = {
      {nullptr, false},    {"", false},       {"0", false},        {"yes", false},
      {" 1", false},       {"1", true},       {"10", true},        {"1yes", true},
      {"1 please", false}, {"1234567", true}, {"12345678", false}, {"1xxxxxxxxxxxxxxx", false},
  };
  for (const Case& c : cases) {
    const std::string shown = c.value != nullptr ? c.value : "(absent)";
    setVariable(kMark, c.value);
    EXPECT_EQ(io_.consumeUpdatedMark(), c.consumed) << shown;
    std::string left;
    const bool present = readVariable(kMark, left);
    if (c.consumed || c.value == nullptr) {
      EXPECT_FALSE(present) << shown;
    } else {
      EXPECT_TRUE(present) << shown << ": a mark that does not count is left alone";
      EXPECT_EQ(left, c.value) << shown;
    }
  }
}

TEST_F(SystemSelfUpdateIo, TheMarkCountsOnce) {
  setVariable(kMark, "1");
  EXPECT_TRUE(io_.consumeUpdatedMark());
  EXPECT_FALSE(io_.consumeUpdatedMark());
}

TEST_F(SystemSelfUpdateIo, MoveReplacesTheTarget) {
  dir_.write("Velm Co-op.exe.new", "new build");
  dir_.write("Velm Co-op.exe", "old build");
  std::string output = captureOutput([&] {
    EXPECT_TRUE(
        io_.moveFile(widePath(dir_, "Velm Co-op.exe.new"), widePath(dir_, "Velm Co-op.exe")));
  });
  EXPECT_EQ(output, "");
  EXPECT_EQ(dir_.read("Velm Co-op.exe"), "new build");
  EXPECT_FALSE(dir_.exists("Velm Co-op.exe.new"));
}

TEST_F(SystemSelfUpdateIo, TheRunningBuildKeptAsideSurvivesTheNewOnesMove) {
  dir_.write("Velm Co-op.exe", "old build");
  dir_.write("Velm Co-op.exe.new", "new build");
  ASSERT_TRUE(
      io_.keepAside(widePath(dir_, "Velm Co-op.exe"), widePath(dir_, "Velm Co-op.old.exe")));
  ASSERT_TRUE(io_.moveFile(widePath(dir_, "Velm Co-op.exe.new"), widePath(dir_, "Velm Co-op.exe")));
  EXPECT_EQ(dir_.read("Velm Co-op.exe"), "new build");
  EXPECT_EQ(dir_.read("Velm Co-op.old.exe"), "old build");
}

TEST_F(SystemSelfUpdateIo, AFailedMoveNamesBothPathsAndTheCode) {
  const std::wstring source = widePath(dir_, "Spiele \xC3\xBC\xE2\x82\xAC/missing.exe");
  const std::wstring target = widePath(dir_, "Spiele \xC3\xBC\xE2\x82\xAC/Velm Co-op.exe");
  dir_.write("Spiele \xC3\xBC\xE2\x82\xAC/Velm Co-op.exe", "old build");
  std::string output = captureOutput([&] { EXPECT_FALSE(io_.moveFile(source, target)); });
  EXPECT_EQ(output, "self-update: could not move " + wideToUtf8(source) + " to " +
                        wideToUtf8(target) + " (error 2)\n");
  EXPECT_EQ(dir_.read("Spiele \xC3\xBC\xE2\x82\xAC/Velm Co-op.exe"), "old build");
}

TEST_F(SystemSelfUpdateIo, DeleteRemovesAFileAndPassesOverAMissingOne) {
  dir_.write("Velm Co-op.old.exe", "old build");
  std::string output = captureOutput([&] {
    io_.deleteFile(widePath(dir_, "Velm Co-op.old.exe"));
    io_.deleteFile(widePath(dir_, "never there.exe"));
  });
  EXPECT_EQ(output, "");
  EXPECT_FALSE(dir_.exists("Velm Co-op.old.exe"));
  EXPECT_FALSE(dir_.exists("never there.exe"));
}

TEST_F(SystemSelfUpdateIo, AFailedStartReportsItsCodeAndLeavesNoMark) {
  setVariable(kMark, "1");  // even one that was there before goes
  std::string output =
      captureOutput([&] { EXPECT_FALSE(io_.startExe(widePath(dir_, "Velm Co-op.exe"))); });
  EXPECT_EQ(output, "self-update: the new exe would not start (error 2)\n");
  std::string value;
  EXPECT_FALSE(readVariable(kMark, value)) << value;
}

// Each line is out before the call returns, so the two channels and the new build, which
// shares the console, never overtake one another.
TEST_F(SystemSelfUpdateIo, EachLineIsOutBeforeTheNextWriter) {
  std::string output = captureOutput([&] {
    io_.printLine("self-update: 2.1.0 is out, this is 2.0.0 -- downloading");
    writeUnbuffered("another writer\n");
    io_.printError("self-update: the server answered HTTP 404");
    writeUnbuffered("another writer\n");
    io_.printLine("self-update: updated to 2.1.0 -- restarting");
    writeUnbuffered("the new build\n");
  });
  EXPECT_EQ(output,
            "self-update: 2.1.0 is out, this is 2.0.0 -- downloading\n"
            "another writer\n"
            "self-update: the server answered HTTP 404\n"
            "another writer\n"
            "self-update: updated to 2.1.0 -- restarting\n"
            "the new build\n");
}

}  // namespace
}  // namespace velm
