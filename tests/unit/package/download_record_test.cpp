#include "package/download_record.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>

#include "support/temp_dir.h"

namespace velm {
namespace {

// A record is advice read back after a kill: whatever cannot be read proves nothing.
TEST(DownloadRecord, ReadsOnlyWholeLines) {
  const std::map<std::string, FileIdentity> files = {{"big.pak", {1, 2}},
                                                     {"textures/a b.pak", {0xFFFFFFFFFFFFFFFF, 7}}};
  const std::string text = DownloadRecord::format(files);
  EXPECT_EQ(DownloadRecord::parse(text), files);
  const struct {
    const char* label;
    std::string text;
  } broken[] = {
      {"cut short", text.substr(0, text.size() - 1)},
      {"short number", "001 0000000000000002 big.pak\n"},
      {"not hex", "000000000000000g 0000000000000002 big.pak\n"},
      {"no name", "0000000000000001 0000000000000002 \n"},
  };
  for (const auto& c : broken) {
    SCOPED_TRACE(c.label);
    const auto parsed = DownloadRecord::parse(c.text);
    EXPECT_EQ(parsed.count("textures/a b.pak"), 0u);
    EXPECT_EQ(parsed.count("big.pak") + parsed.count(""), std::string(c.label) == "cut short");
  }
}

TEST(DownloadRecord, KeepsOnlyDownloadsThatAreStillThere) {
  TempDir dir;
  const auto made = [&](const std::string& name) {
    dir.write(name + ".new", "part");
    FileIdentity identity;
    EXPECT_TRUE(plainFileIdentity(dir.path() / (name + ".new"), identity));
    return identity;
  };
  const FileIdentity big = made("big.pak");
  const FileIdentity other = made("other.pak");
  {
    DownloadRecord record(dir.path());
    record.made("big.pak", big);
    record.made("other.pak", other);
  }
  std::filesystem::remove(dir.path() / "other.pak.new");  // moved in
  DownloadRecord record(dir.path());
  EXPECT_EQ(record.known("big.pak"), big);
  record.settle();
  EXPECT_EQ(DownloadRecord(dir.path()).known("other.pak"), std::nullopt);
  std::filesystem::remove(dir.path() / "big.pak.new");
  DownloadRecord(dir.path()).settle();
  EXPECT_FALSE(dir.exists(kDownloadRecordName)) << "an empty record stays";
}

// A first install of many large files adds one line per file: the record file stays the same
// file, and one that is not (another program's, in its place) is written whole again.
TEST(DownloadRecord, AddsEachDownloadToTheSavedRecord) {
  TempDir dir;
  std::map<std::string, FileIdentity> made;
  for (const char* name : {"a.pak", "b.pak", "c.pak"}) {
    dir.write(std::string(name) + ".new", "part");
    ASSERT_TRUE(plainFileIdentity(dir.path() / (std::string(name) + ".new"), made[name]));
  }
  const std::filesystem::path saved = dir.path() / kDownloadRecordName;
  DownloadRecord record(dir.path());
  record.made("a.pak", made["a.pak"]);
  FileIdentity first;
  ASSERT_TRUE(plainFileIdentity(saved, first));
  {
    // Held open, the first file keeps its index: a record written anew cannot take it.
    std::ifstream held(saved);
    record.made("b.pak", made["b.pak"]);
  }
  FileIdentity second;
  ASSERT_TRUE(plainFileIdentity(saved, second));
  EXPECT_EQ(second, first) << "the record was written anew for one more file";
  EXPECT_EQ(DownloadRecord(dir.path()).known("a.pak"), made["a.pak"]);
  EXPECT_EQ(DownloadRecord(dir.path()).known("b.pak"), made["b.pak"]);

  std::filesystem::remove(saved);
  dir.write(kDownloadRecordName, "not this launcher's\n");
  record.made("c.pak", made["c.pak"]);
  DownloadRecord reread(dir.path());
  for (const auto& [name, identity] : made) EXPECT_EQ(reread.known(name), identity) << name;
}

}  // namespace
}  // namespace velm
