#include "package/replace_journal.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace velm {
namespace {

// A kill at any point of a replace of three files (two with an old version, one new): the next
// start finds the package of before, whatever had been moved.
TEST(ReplaceJournal, AStartAfterAKillPutsTheOldPackageBack) {
  const std::vector<JournalEntry> journal = {{"a.pak", true}, {"b.pak", true}, {"n.pak", false}};
  // How many of the files had their backup made and were moved in when the kill came.
  for (size_t backedUp = 0; backedUp <= 3; ++backedUp) {
    for (size_t movedIn = 0; movedIn <= backedUp; ++movedIn) {
      SCOPED_TRACE(std::to_string(backedUp) + " backed up, " + std::to_string(movedIn) + " moved");
      TempDir dir;
      dir.write("a.pak", "old a");
      dir.write("b.pak", "old b");
      dir.write("manifest.json", "saved");
      ASSERT_TRUE(writeReplaceJournal(dir.path(), journal));
      std::filesystem::create_directory(dir.path() / "..backup");
      for (size_t i = 0; i < backedUp; ++i) {
        const std::string name = journal[i].name;
        if (journal[i].backedUp) {
          std::filesystem::create_hard_link(dir.path() / name, dir.path() / "..backup" / name);
        }
        if (i < movedIn) {
          dir.write(name + ".new", "new " + name);
          std::filesystem::rename(dir.path() / (name + ".new"), dir.path() / name);
        }
      }
      HeldFiles held;
      EXPECT_TRUE(recoverInterruptedReplace(dir.path(), held));
      EXPECT_EQ(dir.read("a.pak"), "old a");
      EXPECT_EQ(dir.read("b.pak"), "old b");
      EXPECT_FALSE(dir.exists("n.pak"));
      EXPECT_EQ(dir.read("manifest.json"), "saved");
      EXPECT_FALSE(dir.exists(kReplaceJournalName));
      EXPECT_FALSE(dir.exists("..backup"));
    }
  }
}

// Only a whole journal of names a manifest could hold is acted on.
TEST(ReplaceJournal, ReadsOnlyAWholeJournalOfPlainNames) {
  std::vector<JournalEntry> entries;
  const std::string whole = journalText({{"a.pak", true}, {"n.pak", false}});
  ASSERT_TRUE(parseJournal(whole, entries));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_TRUE(entries[0].backedUp);
  EXPECT_EQ(entries[1].name, "n.pak");
  for (const std::string& text :
       {whole.substr(0, whole.size() - 4), whole + "old x\n", std::string("new ../x\nend\n"),
        std::string("new sub/x\nend\n"), std::string("gone a.pak\nend\n")}) {
    EXPECT_FALSE(parseJournal(text, entries)) << text;
  }
  TempDir dir;
  dir.write("x", "theirs");
  dir.write(kReplaceJournalName, "new x\n");  // cut short: proves nothing
  HeldFiles held;
  EXPECT_TRUE(recoverInterruptedReplace(dir.path(), held));
  EXPECT_EQ(dir.read("x"), "theirs");
}

}  // namespace
}  // namespace velm
