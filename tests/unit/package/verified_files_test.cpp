#include "package/verified_files.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "net/sha256.h"
#include "package/package_folder.h"
#include "support/temp_dir.h"

namespace velm {
namespace {

namespace fs = std::filesystem;

ManifestFile entryOf(const std::string& name, const std::string& content) {
  ManifestFile file;
  file.name = name;
  file.size = content.size();
  file.sha256 = textSha256(content);
  return file;
}

// Sets a file's last write an hour back, as a file installed long before the record.
void age(const fs::path& path) {
  fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(1));
}

class VerifiedFilesTest : public ::testing::Test {
 protected:
  fs::path put(const std::string& name, const std::string& content, bool old = true) {
    const fs::path path = dir_.write(name, content);
    if (old) age(path);
    return path;
  }
  // A run that hashes the file at name, finds content and saves the record.
  void recordRun(const std::string& name, const std::string& content) {
    VerifiedFiles verified(dir_.path(), false);
    std::optional<FileStamp> stamp;
    const fs::path path = dir_.path() / name;
    (void)verified.vouchesFor(entryOf(name, content), path, stamp);
    verified.learn(name, stamp, textSha256(content));
    verified.save();
  }
  bool vouches(const std::string& name, const std::string& content, bool fullCheck = false) {
    VerifiedFiles verified(dir_.path(), fullCheck);
    std::optional<FileStamp> stamp;
    return verified.vouchesFor(entryOf(name, content), dir_.path() / name, stamp);
  }

  TempDir dir_;
};

TEST_F(VerifiedFilesTest, VouchesOnlyForAnUnchangedFileWrittenWellBefore) {
  put("a.dat", "0123456789");
  recordRun("a.dat", "0123456789");
  EXPECT_TRUE(vouches("a.dat", "0123456789"));
  EXPECT_FALSE(vouches("a.dat", "0123456789", true)) << "VELM_COOP_VERIFY";
  EXPECT_FALSE(vouches("a.dat", "0123456780")) << "another digest in the manifest";
  EXPECT_FALSE(vouches("b.dat", "0123456789")) << "no entry";

  // Rewritten in place, same size, its time put back: the change time still differs.
  const fs::file_time_type before = fs::last_write_time(dir_.path() / "a.dat");
  put("a.dat", "9876543210", false);
  fs::last_write_time(dir_.path() / "a.dat", before);
  EXPECT_FALSE(vouches("a.dat", "0123456789"));
}

TEST_F(VerifiedFilesTest, DoesNotVouchForAFileWrittenInTheRecordsSecond) {
  // Written just before the record: a later write in the same tick would keep the stamp.
  put("a.dat", "0123456789", false);
  recordRun("a.dat", "0123456789");
  EXPECT_FALSE(vouches("a.dat", "0123456789"));
}

TEST_F(VerifiedFilesTest, AnyDamageToTheRecordVouchesForNothing) {
  put("a.dat", "0123456789");
  recordRun("a.dat", "0123456789");
  const std::string good = dir_.read(kVerifiedFilesName);
  VerifiedFiles::Entries entries;
  ASSERT_TRUE(VerifiedFiles::parse(good, entries));
  ASSERT_EQ(entries.count("a.dat"), 1u);

  const std::string other = std::string(kFileStampKind) == "posix" ? "windows" : "posix";
  std::string foreign = good;
  foreign.replace(foreign.find(kFileStampKind), std::string(kFileStampKind).size(), other);
  std::string flipped = good;
  flipped[40] = flipped[40] == '0' ? '1' : '0';
  const std::string damaged[] = {good.substr(0, good.size() - 1),
                                 good.substr(0, good.find('\n') + 1),
                                 flipped,
                                 foreign,
                                 "",
                                 "\n"};
  for (const std::string& text : damaged) {
    EXPECT_FALSE(VerifiedFiles::parse(text, entries)) << text;
    dir_.write(kVerifiedFilesName, text);
    EXPECT_FALSE(vouches("a.dat", "0123456789")) << text;
  }
}

// A record of many files is read a piece at a time: lines and the end line cross the pieces.
TEST_F(VerifiedFilesTest, ReadsALargeRecordWholeAndRefusesItDamagedAnywhere) {
  put("a.dat", "0123456789");
  recordRun("a.dat", "0123456789");
  VerifiedFiles::Entries entries;
  ASSERT_TRUE(VerifiedFiles::parse(dir_.read(kVerifiedFilesName), entries));
  for (int i = 0; i < 20000; ++i) {
    entries["filler-" + std::to_string(i) + ".pak"] = VerifiedFiles::Entry{{7, 1, 2, {3, 4}}, {}};
  }
  const std::string large = VerifiedFiles::format(entries);
  ASSERT_GT(large.size(), 3u << 20);
  dir_.write(kVerifiedFilesName, large);
  EXPECT_TRUE(vouches("a.dat", "0123456789"));
  for (const size_t at : {size_t{1} << 20, (size_t{2} << 20) - 1, large.size() - 60}) {
    std::string damaged = large;
    damaged[at] = damaged[at] == '0' ? '1' : '0';
    dir_.write(kVerifiedFilesName, damaged);
    EXPECT_FALSE(vouches("a.dat", "0123456789")) << at;
  }
}

TEST_F(VerifiedFilesTest, AKillWhileSavingLeavesTheOldRecord) {
  put("a.dat", "0123456789");
  recordRun("a.dat", "0123456789");
  // What a kill leaves of the next save: a part of the new record beside the old one.
  const std::string good = dir_.read(kVerifiedFilesName);
  dir_.write(std::string(kVerifiedFilesName) + ".new", good.substr(0, good.size() / 2));
  EXPECT_TRUE(vouches("a.dat", "0123456789"));
  recordRun("a.dat", "0123456789");
  EXPECT_FALSE(dir_.exists(std::string(kVerifiedFilesName) + ".new"));
}

TEST_F(VerifiedFilesTest, ForgetsAFileThatChangedWhileItWasReadOrBeforeTheSave) {
  for (const bool afterTheRead : {false, true}) {
    SCOPED_TRACE(afterTheRead ? "changed after the read" : "changed while read");
    const fs::path path = put("a.dat", "0123456789");
    VerifiedFiles verified(dir_.path(), false);
    std::optional<FileStamp> stamp;
    EXPECT_FALSE(verified.vouchesFor(entryOf("a.dat", "0123456789"), path, stamp));
    if (!afterTheRead) put("a.dat", "01234567890");
    verified.learn("a.dat", stamp, textSha256("0123456789"));
    if (afterTheRead) put("a.dat", "01234567890");
    verified.save();
    age(path);
    EXPECT_FALSE(vouches("a.dat", "0123456789"));
    EXPECT_FALSE(vouches("a.dat", "01234567890"));
  }
}

}  // namespace
}  // namespace velm
