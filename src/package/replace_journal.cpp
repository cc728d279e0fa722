#include "package/replace_journal.h"

#include <system_error>

#include "catalogue/file_name.h"
#include "os/file_move.h"
#include "os/own_file.h"
#include "os/read_only_file.h"
#include "package/manifest.h"
#include "package/package_folder.h"
#include "text/path_text.h"

namespace velm {
namespace {

constexpr char kBackedUp[] = "old ";
constexpr char kAdded[] = "new ";
// The last line: a journal without it was cut short and proves nothing.
constexpr char kEnd[] = "end";

std::filesystem::path journalPath(const std::filesystem::path& folder) {
  return joinPath(folder, kReplaceJournalName);
}

}  // namespace

std::string journalText(const std::vector<JournalEntry>& entries) {
  std::string text;
  for (const JournalEntry& entry : entries) {
    text += (entry.backedUp ? kBackedUp : kAdded) + entry.name + "\n";
  }
  return text + kEnd + "\n";
}

bool parseJournal(const std::string& text, std::vector<JournalEntry>& entries) {
  entries.clear();
  size_t begin = 0;
  for (;;) {
    const size_t end = text.find('\n', begin);
    if (end == std::string::npos) return false;
    const std::string line = text.substr(begin, end - begin);
    begin = end + 1;
    if (line == kEnd) return begin == text.size();
    JournalEntry entry;
    const std::string prefix = line.substr(0, 4);
    if (prefix != kBackedUp && prefix != kAdded) return false;
    entry.backedUp = prefix == kBackedUp;
    entry.name = line.substr(4);
    // A journal names only files a manifest could: never a path out of the folder.
    if (!isPlainFileName(entry.name, nullptr)) return false;
    entries.push_back(std::move(entry));
  }
}

bool writeReplaceJournal(const std::filesystem::path& folder,
                         const std::vector<JournalEntry>& entries) {
  return saveFile(journalPath(folder), journalText(entries));
}

bool removeReplaceJournal(const std::filesystem::path& folder, HeldFiles& held) {
  std::error_code error;
  return held.remove(kReplaceJournalName, journalPath(folder), error);
}

bool recoverInterruptedReplace(const std::filesystem::path& folder, HeldFiles& held) {
  const std::filesystem::path path = journalPath(folder);
  FileIdentity ignored;
  std::string text;
  std::vector<JournalEntry> entries;
  bool whole = true;
  // A journal that is no plain file, or not whole, was not written by a launcher: it is left
  // out of account, as a run cut short before its first move leaves none.
  if (plainFileIdentity(path, ignored) && readWholeFile(path, text) &&
      parseJournal(text, entries)) {
    const std::filesystem::path backups = backupFolderPath(folder);
    // A linked backup folder took no backup: the run could move no file that had one.
    const bool backupsUsable = !isLink(backups);
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
      const std::filesystem::path target = joinPath(folder, it->name);
      const std::filesystem::path backup = joinPath(backups, it->name);
      std::error_code error;
      if (it->backedUp) {
        // No backup: the run was cut before this file's turn, and it is old.
        if (backupsUsable &&
            std::filesystem::is_regular_file(std::filesystem::symlink_status(backup, error))) {
          whole &= held.move(it->name, backup, target, error);
        }
      } else {
        whole &= held.remove(it->name, target, error);
      }
    }
  }
  if (!whole) {
    std::error_code ignoredError;
    (void)held.remove(kManifestName, savedManifestPath(folder), ignoredError);
    return false;
  }
  if (!removeReplaceJournal(folder, held)) return false;
  removeBackupFolder(folder, held);
  held.renewWaits();
  return true;
}

}  // namespace velm
