#include "package/verified_files.h"

#include <cstdint>
#include <string_view>

#include "net/sha256.h"
#include "os/read_only_file.h"
#include "package/package_folder.h"
#include "text/path_text.h"

namespace velm {
namespace {

// Far more than the lines of any package; a larger file is no record of this launcher's.
constexpr uintmax_t kLongestRecord = 1u << 30;
constexpr size_t kNumberDigits = 16;
constexpr size_t kDigestDigits = 64;
// Five numbers and the digest, each followed by a blank; the name comes after them.
constexpr size_t kNameColumn = 5 * (kNumberDigits + 1) + kDigestDigits + 1;
constexpr std::string_view kEndPrefix = "end ";

std::string headerLine() { return std::string("velm-verified 1 ") + kFileStampKind + "\n"; }

void appendNumber(std::string& text, uint64_t value) {
  uint8_t bytes[8];
  for (int i = 7; i >= 0; --i, value >>= 8) bytes[i] = static_cast<uint8_t>(value & 0xFF);
  text += hexLower(bytes, sizeof bytes);
  text += ' ';
}

// Exactly count hex digits at text[at...], then a blank.
bool readHex(std::string_view text, size_t at, size_t count, uint8_t* out) {
  if (text.size() < at + count + 1 || text[at + count] != ' ') return false;
  for (size_t i = 0; i < count; i += 2) {
    const int high = hexDigitValue(text[at + i]);
    const int low = hexDigitValue(text[at + i + 1]);
    if (high < 0 || low < 0) return false;
    out[i / 2] = static_cast<uint8_t>(high * 16 + low);
  }
  return true;
}

bool readNumber(std::string_view line, size_t column, uint64_t& value) {
  uint8_t bytes[8];
  if (!readHex(line, column * (kNumberDigits + 1), kNumberDigits, bytes)) return false;
  value = 0;
  for (uint8_t byte : bytes) value = (value << 8) | byte;
  return true;
}

bool readLine(std::string_view line, std::string& name, VerifiedFiles::Entry& entry) {
  if (line.size() <= kNameColumn) return false;
  FileStamp& stamp = entry.stamp;
  uint64_t writeTime = 0;
  uint64_t changeTime = 0;
  if (!readNumber(line, 0, stamp.size) || !readNumber(line, 1, writeTime) ||
      !readNumber(line, 2, changeTime) || !readNumber(line, 3, stamp.identity.volume) ||
      !readNumber(line, 4, stamp.identity.index) ||
      !readHex(line, 5 * (kNumberDigits + 1), kDigestDigits, entry.sha256.data())) {
    return false;
  }
  stamp.writeTime = static_cast<int64_t>(writeTime);
  stamp.changeTime = static_cast<int64_t>(changeTime);
  name.assign(line.substr(kNameColumn));
  return true;
}

Sha256Digest bodyDigest(const std::string& text, size_t length) {
  Sha256 hasher;
  hasher.update(text.data(), length);
  return hasher.finalDigest();
}

}  // namespace

VerifiedFiles::VerifiedFiles(const std::filesystem::path& packageFolder, bool fullCheck)
    : folder_(packageFolder) {
  if (fullCheck) return;
  const std::filesystem::path path = joinPath(folder_, kVerifiedFilesName);
  FileStamp record;
  std::string text;
  // A FIFO or a link at the name is never opened.
  if (!plainFileStamp(path, record) || record.size > kLongestRecord || !readWholeFile(path, text) ||
      !parse(text, recorded_)) {
    recorded_.clear();
    return;
  }
  recordWriteTime_ = record.writeTime;
  resolution_ = fileTimeResolution(folder_);
}

bool VerifiedFiles::vouchesFor(const ManifestFile& file, const std::filesystem::path& path,
                               std::optional<FileStamp>& stamp) {
  stamp.reset();
  FileStamp present;
  if (!plainFileStamp(path, present)) return false;
  stamp = present;
  const auto found = recorded_.find(file.name);
  if (found == recorded_.end()) return false;
  const Entry& entry = found->second;
  // A write in the same tick as the record's own could have followed the stamp unseen (git's
  // "racy" files): only a file last written clearly before the record is vouched for.
  const bool settled = present.writeTime < recordWriteTime_ - resolution_;
  if (entry.stamp != present || !settled || present.size != file.size ||
      entry.sha256 != file.sha256) {
    return false;
  }
  current_[file.name] = entry;
  return true;
}

void VerifiedFiles::learn(const std::string& name, const std::filesystem::path& path,
                          const std::optional<FileStamp>& before, const Sha256Digest& digest) {
  changed_ = true;
  FileStamp after;
  if (!before || !plainFileStamp(path, after) || after != *before) {
    current_.erase(name);
    return;
  }
  current_[name] = Entry{after, digest};
}

void VerifiedFiles::installed(const ManifestFile& file, const std::filesystem::path& path) {
  changed_ = true;
  FileStamp stamp;
  if (!plainFileStamp(path, stamp) || stamp.size != file.size) {
    current_.erase(file.name);
    return;
  }
  current_[file.name] = Entry{stamp, file.sha256};
}

void VerifiedFiles::save() {
  if (!changed_) return;
  (void)saveFile(joinPath(folder_, kVerifiedFilesName), format(current_));
}

std::string VerifiedFiles::format(const Entries& entries) {
  std::string text = headerLine();
  text.reserve(text.size() + entries.size() * (kNameColumn + 32) + kEndPrefix.size() + 65);
  for (const auto& [name, entry] : entries) {
    const FileStamp& stamp = entry.stamp;
    appendNumber(text, stamp.size);
    appendNumber(text, static_cast<uint64_t>(stamp.writeTime));
    appendNumber(text, static_cast<uint64_t>(stamp.changeTime));
    appendNumber(text, stamp.identity.volume);
    appendNumber(text, stamp.identity.index);
    text += sha256Hex(entry.sha256);
    text += ' ';
    text += name;
    text += '\n';
  }
  // A record cut short or changed anywhere no longer matches its last line.
  const std::string digest = sha256Hex(bodyDigest(text, text.size()));
  text += kEndPrefix;
  text += digest;
  text += '\n';
  return text;
}

bool VerifiedFiles::parse(const std::string& text, Entries& entries) {
  const std::string header = headerLine();
  const size_t endLength = kEndPrefix.size() + kDigestDigits + 1;
  if (text.size() < header.size() + endLength || text.compare(0, header.size(), header) != 0) {
    return false;
  }
  const size_t bodyEnd = text.size() - endLength;
  const std::string_view end = std::string_view(text).substr(bodyEnd);
  Sha256Digest digest;
  if (end.substr(0, kEndPrefix.size()) != kEndPrefix || end.back() != '\n' ||
      !parseSha256Hex(std::string(end.substr(kEndPrefix.size(), kDigestDigits)), digest) ||
      digest != bodyDigest(text, bodyEnd)) {
    return false;
  }
  Entries read;
  const std::string_view body = std::string_view(text).substr(0, bodyEnd);
  std::string name;
  for (size_t begin = header.size(); begin < body.size();) {
    const size_t lineEnd = body.find('\n', begin);
    if (lineEnd == std::string_view::npos) return false;
    Entry entry;
    if (!readLine(body.substr(begin, lineEnd - begin), name, entry)) return false;
    read[name] = entry;
    begin = lineEnd + 1;
  }
  entries = std::move(read);
  return true;
}

}  // namespace velm
