#include "package/download_record.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace velm
