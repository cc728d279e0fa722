#include "package/verified_files.h"

#include <cstdint>
#include <string_view>
#include <vector>

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

// Reads a record from its pieces in order, so that a record of 100,000 files (17 MB) is never
// held whole beside what it describes. Every byte but the last line's is the body: hashed, and
// read line by line; the last line must be the end line with the body's digest.
class RecordReader {
 public:
  explicit RecordReader(VerifiedFiles::Entries& entries) : entries_(entries) {}

  void feed(const char* data, size_t length) {
    if (failed_) return;
    held_.append(data, length);
    if (held_.size() <= kEndLength) return;
    const size_t body = held_.size() - kEndLength;
    hasher_.update(held_.data(), body);
    size_t begin = 0;
    for (size_t end; !failed_ && (end = held_.find('\n', begin)) < body; begin = end + 1) {
      line_.append(held_, begin, end - begin);
      takeLine();
      line_.clear();
    }
    if (begin < body) line_.append(held_, begin, body - begin);
    held_.erase(0, body);
  }

  // True when what was fed is a whole record of this kind; entries then holds it.
  [[nodiscard]] bool finish() {
    // A body line without its end, or no header at all, is a record cut short.
    if (failed_ || !headerRead_ || !line_.empty() || held_.size() != kEndLength) return false;
    const std::string_view end = held_;
    Sha256Digest digest;
    if (end.substr(0, kEndPrefix.size()) != kEndPrefix || end.back() != '\n' ||
        !parseSha256Hex(std::string(end.substr(kEndPrefix.size(), kDigestDigits)), digest) ||
        digest != hasher_.finalDigest()) {
      return false;
    }
    entries_ = std::move(read_);
    return true;
  }

 private:
  static constexpr size_t kEndLength = kEndPrefix.size() + kDigestDigits + 1;

  void takeLine() {
    if (!headerRead_) {
      const std::string header = headerLine();
      headerRead_ =
          line_.size() + 1 == header.size() && header.compare(0, line_.size(), line_) == 0;
      failed_ = !headerRead_;
      return;
    }
    VerifiedFiles::Entry entry;
    failed_ = !readLine(line_, name_, entry);
    if (!failed_) read_[name_] = entry;
  }

  VerifiedFiles::Entries& entries_;
  VerifiedFiles::Entries read_;
  Sha256 hasher_;
  std::string held_;  // fed, not yet known to be body
  std::string line_;  // the body line read so far
  std::string name_;
  bool headerRead_ = false;
  bool failed_ = false;
};

}  // namespace

VerifiedFiles::VerifiedFiles(const std::filesystem::path& packageFolder, bool fullCheck)
    : folder_(packageFolder) {
  if (fullCheck) return;
  const std::filesystem::path path = joinPath(folder_, kVerifiedFilesName);
  FileStamp record;
  // A FIFO or a link at the name is never opened.
  if (!plainFileStamp(path, record) || record.size > kLongestRecord || !readRecord(path)) {
    recorded_.clear();
    return;
  }
  current_.reserve(recorded_.size());
  recordWriteTime_ = record.writeTime;
  resolution_ = fileTimeResolution(folder_);
}

bool VerifiedFiles::vouchesFor(const ManifestFile& file, const std::filesystem::path& path,
                               std::optional<FileStamp>& stamp) {
  stamp.reset();
  FileStamp present;
  if (!stamps_.stampOf(path, present)) return false;
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
  // Moved, not copied: for 100,000 files a copy of every entry is 12 MB more. Each name is asked
  // for once a run; one asked for again is read again.
  auto moved = current_.insert(recorded_.extract(found));
  if (!moved.inserted) moved.position->second = moved.node.mapped();
  return true;
}

void VerifiedFiles::learn(const std::string& name, const std::optional<FileStamp>& before,
                          const Sha256Digest& digest) {
  changed_ = true;
  if (!before) {
    current_.erase(name);
    return;
  }
  current_[name] = Entry{*before, digest};
  unconfirmed_.push_back(name);
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
  // Read now in one listing a folder, not as each file was learned: a stamp costs a round trip
  // or two to the server under Wine, where the first check of 100,000 files took minutes more.
  FolderStamps after;
  for (const std::string& name : unconfirmed_) {
    const auto found = current_.find(name);
    FileStamp stamp;
    if (found != current_.end() &&
        (!after.stampOf(joinPath(folder_, name), stamp) || stamp != found->second.stamp)) {
      current_.erase(found);
    }
  }
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

bool VerifiedFiles::readRecord(const std::filesystem::path& path) {
  const ReadOnlyFile file = openReadOnly(path, Links::Refuse);
  if (!file) return false;
  RecordReader reader(recorded_);
  std::vector<char> buffer(1 << 18);
  size_t got;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), file.get())) > 0) {
    reader.feed(buffer.data(), got);
  }
  return !std::ferror(file.get()) && reader.finish();
}

bool VerifiedFiles::parse(const std::string& text, Entries& entries) {
  RecordReader reader(entries);
  reader.feed(text.data(), text.size());
  return reader.finish();
}

}  // namespace velm
