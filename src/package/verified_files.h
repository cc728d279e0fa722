// The record of verified files: for each package file that a run hashed or moved in, its stamp
// (size, times, identity) and the SHA-256 it had, kept in the package folder so that a later start
// trusts an unchanged file without reading it, as git trusts the stat data in its index. The
// record is advice: one that is missing, damaged or another system's vouches for nothing, and no
// record ever fails a run or prints a line.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "os/own_file.h"
#include "package/manifest.h"
#include "text/text.h"

namespace velm {

class VerifiedFiles {
 public:
  struct Entry {
    FileStamp stamp;
    Sha256Digest sha256{};
  };
  using Entries = std::unordered_map<std::string, Entry>;

  // Reads the folder's record; with fullCheck (VELM_COOP_VERIFY) it is left unread and vouches
  // for nothing, and the run writes a new one.
  VerifiedFiles(const std::filesystem::path& packageFolder, bool fullCheck);

  // True when path holds file's content by the record alone: its stamp is the recorded one, its
  // last write came well before the record was written, and the recorded size and digest are
  // the manifest's. Otherwise false, with stamp set to what path shows when it is a plain file.
  [[nodiscard]] bool vouchesFor(const ManifestFile& file, const std::filesystem::path& path,
                                std::optional<FileStamp>& stamp);
  // The file of that name was read whole and had digest; before is what vouchesFor saw. Recorded
  // only when the file still shows that stamp when the record is saved: one that changed while
  // it was read, or after, is read again next time.
  void learn(const std::string& name, const std::optional<FileStamp>& before,
             const Sha256Digest& digest);
  // This run moved file in at path, with the manifest's content.
  void installed(const ManifestFile& file, const std::filesystem::path& path);
  // Writes the record as a whole (".new" and a move) when the run hashed or moved in a file: the
  // files it vouched for or learned, and nothing else. A failure is ignored.
  void save();

  // The text of a record and back; parse is false for one that is damaged in any way or of
  // another kind of stamp.
  static std::string format(const Entries& entries);
  [[nodiscard]] static bool parse(const std::string& text, Entries& entries);

 private:
  // Reads the record at path into recorded_ a piece at a time; false for one parse refuses.
  [[nodiscard]] bool readRecord(const std::filesystem::path& path);

  std::filesystem::path folder_;
  FolderStamps stamps_;                   // of the files asked about, before any is read
  Entries recorded_;                      // as read
  Entries current_;                       // what the next record holds
  std::vector<std::string> unconfirmed_;  // learned: their stamps are checked again at the save
  int64_t recordWriteTime_ = 0;           // the record file's own last write
  int64_t resolution_ = 0;
  bool changed_ = false;
};

}  // namespace velm
