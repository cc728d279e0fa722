// The ".new" files of large package files that this launcher made, by identity, kept in the
// package folder between runs: a run continues only a download it can prove its own, never a
// file that a link, an archive or another program put at such a name.
#pragma once

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "os/own_file.h"

namespace velm {

// Inside the package folder; no package file can take the name: names may not contain "..".
inline constexpr char kDownloadRecordName[] = "..downloads";
// Smaller files are fetched whole again after a cut run: cheaper than a record of each.
inline constexpr uint64_t kRecordedDownloadsFrom = 1048576;

class DownloadRecord {
 public:
  // Reads the folder's record; one that is missing, no plain file or unreadable holds nothing.
  explicit DownloadRecord(const std::filesystem::path& packageFolder);

  // The identity recorded for the ".new" of the package file name, if any.
  std::optional<FileIdentity> known(const std::string& name) const;
  // Records that the launcher made the ".new" of name with this identity, and saves the record
  // at once: a kill may come next. The saved copy is advice: a failed save costs a resume. Only
  // the new line is written, so a first install of many large files costs one line each.
  void made(const std::string& name, const FileIdentity& identity);
  // After the download and replace phases: drops what is no longer there, and the saved record
  // with it once no download is left to continue.
  void settle();

  // The text of a record and back; lines that cannot be read are left out.
  static std::string format(const std::map<std::string, FileIdentity>& files);
  static std::map<std::string, FileIdentity> parse(const std::string& text);

 private:
  // Leaves out the files whose ".new" is gone (moved in or given up) and saves the rest;
  // removes the saved record when nothing is left and there is one.
  void save();
  // Adds the line of name to the saved record, or writes the whole record where the file at its
  // name is not the one this run read or wrote; false when nothing could be written.
  bool append(const std::string& name, const FileIdentity& identity);

  std::filesystem::path folder_;
  mutable std::mutex mutex_;  // the download phase's threads record at once
  std::map<std::string, FileIdentity> files_;
  bool saved_ = false;  // a record is in the folder, read or written by this run
  std::optional<FileIdentity> savedIdentity_;  // that record's file, when known
  uintmax_t savedSize_ = 0;                    // and how many bytes it holds
};

}  // namespace velm
