#include "package/download_record.h"

#include <cinttypes>
#include <cstdio>

#include "os/exclusive_file.h"
#include "os/file_move.h"
#include "os/read_only_file.h"
#include "package/package_folder.h"
#include "text/path_text.h"

namespace velm {
namespace {

// Far more than the lines of any package; a larger file is no record of this launcher's.
constexpr uintmax_t kLongestRecord = 16777216;

std::filesystem::path recordPath(const std::filesystem::path& folder) {
  return joinPath(folder, kDownloadRecordName);
}

}  // namespace

DownloadRecord::DownloadRecord(const std::filesystem::path& packageFolder)
    : folder_(packageFolder) {
  const std::filesystem::path path = recordPath(folder_);
  FileIdentity identity;
  std::error_code error;
  std::string text;
  // A FIFO or a link at the name is never opened.
  if (plainFileIdentity(path, identity) &&
      std::filesystem::file_size(path, error) <= kLongestRecord && !error &&
      readWholeFile(path, text)) {
    files_ = parse(text);
    saved_ = true;
    savedIdentity_ = identity;
    savedSize_ = text.size();
  }
}

std::optional<FileIdentity> DownloadRecord::known(const std::string& name) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto found = files_.find(name);
  if (found == files_.end()) return std::nullopt;
  return found->second;
}

void DownloadRecord::made(const std::string& name, const FileIdentity& identity) {
  const std::lock_guard<std::mutex> lock(mutex_);
  files_[name] = identity;
  // Rewriting the whole record for each file would make a first install quadratic in its files;
  // a line read later replaces an earlier one of the same name, and settle() drops the stale.
  if (append(name, identity)) return;
  save();
}

bool DownloadRecord::append(const std::string& name, const FileIdentity& identity) {
  const std::filesystem::path path = recordPath(folder_);
  std::error_code error;
  // Another file at the name, even one that took the record's file index after it was deleted,
  // shows in its size.
  bool whole = !savedIdentity_ || std::filesystem::file_size(path, error) != savedSize_ || error;
  ExclusiveFile file;
  ExclusiveFile::Claim claim;
  claim.asideFolder = asideFolderPath(folder_);
  if (!whole) claim.known = &*savedIdentity_;
  const auto existing = whole ? ExclusiveFile::Existing::Truncate : ExclusiveFile::Existing::Keep;
  if (!file.open(path, existing, 0, claim)) return false;
  whole = whole || file.identity() != *savedIdentity_;  // made anew: the record is gone
  const std::string text = whole ? format(files_) : format({{name, identity}});
  const bool written = file.write(text.data(), text.size());
  if (!file.close() || !written) {
    savedIdentity_.reset();
    return false;
  }
  saved_ = true;
  savedIdentity_ = file.identity();
  savedSize_ = whole ? text.size() : savedSize_ + text.size();
  return true;
}

void DownloadRecord::settle() {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (saved_) save();
}

void DownloadRecord::save() {
  for (auto it = files_.begin(); it != files_.end();) {
    FileIdentity present;
    const bool here = plainFileIdentity(temporaryName(joinPath(folder_, it->first)), present) &&
                      present == it->second;
    it = here ? std::next(it) : files_.erase(it);
  }
  std::error_code ignored;
  savedIdentity_.reset();
  if (files_.empty()) {
    saved_ = !removeFile(recordPath(folder_), ignored);
  } else {
    const std::string text = format(files_);
    FileIdentity identity;
    if (saveFile(recordPath(folder_), text)) {
      saved_ = true;
      if (plainFileIdentity(recordPath(folder_), identity)) savedIdentity_ = identity;
      savedSize_ = text.size();
    }
  }
}

std::string DownloadRecord::format(const std::map<std::string, FileIdentity>& files) {
  std::string text;
  char numbers[48];
  for (const auto& [name, identity] : files) {
    std::snprintf(numbers, sizeof numbers, "%016" PRIx64 " %016" PRIx64 " ", identity.volume,
                  identity.index);
    text += numbers + name + "\n";
  }
  return text;
}

std::map<std::string, FileIdentity> DownloadRecord::parse(const std::string& text) {
  std::map<std::string, FileIdentity> files;
  size_t begin = 0;
  while (begin < text.size()) {
    size_t end = text.find('\n', begin);
    if (end == std::string::npos) break;  // a line without its end was cut short
    const std::string line = text.substr(begin, end - begin);
    begin = end + 1;
    FileIdentity identity;
    int consumed = 0;
    if (line.size() > 34 &&
        std::sscanf(line.c_str(), "%16" SCNx64 " %16" SCNx64 " %n", &identity.volume,
                    &identity.index, &consumed) == 2 &&
        consumed == 34) {
      files[line.substr(34)] = identity;
    }
  }
  return files;
}

}  // namespace velm
