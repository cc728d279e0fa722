// The replace phase's journal: which files a run is moving in, and which of them had an old
// version kept in the backup folder. Written before the first move and removed once the run's
// outcome is whole, so that a start after a kill in between (online or offline) first puts the
// old package back instead of starting some files new and some old.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "os/held_file.h"

namespace velm {

// Inside the package folder; no package file can take the name: names may not contain "..".
inline constexpr char kReplaceJournalName[] = "..replacing";

struct JournalEntry {
  std::string name;
  bool backedUp = false;  // its old version goes to the backup folder; else it had none
};

// Saves the journal as a whole (".new" and a move); false when it could not be written, and
// then no file may be moved.
[[nodiscard]] bool writeReplaceJournal(const std::filesystem::path& folder,
                                       const std::vector<JournalEntry>& entries);
// Ends the journal: the files in the folder are the run's outcome. False when it stays.
[[nodiscard]] bool removeReplaceJournal(const std::filesystem::path& folder, HeldFiles& held);

// Undoes what an interrupted replace phase did, from the journal it left, the last move first:
// each kept old version moved back, each file that had none removed; then the journal and the
// backup folder go. Without a journal only a leftover backup folder goes. False when a file
// could not be put back: the journal stays for the next start, and the saved manifest goes so
// that no start takes the folder for an installed package meanwhile.
bool recoverInterruptedReplace(const std::filesystem::path& folder, HeldFiles& held);

// The text of a journal and back; nullopt-like empty result with ok false for a journal that is
// not whole or names a file no manifest could.
std::string journalText(const std::vector<JournalEntry>& entries);
[[nodiscard]] bool parseJournal(const std::string& text, std::vector<JournalEntry>& entries);

}  // namespace velm
