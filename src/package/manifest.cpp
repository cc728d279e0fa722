#include "package/manifest.h"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "catalogue/catalogue.h"
#include "catalogue/file_name.h"
#include "net/net.h"
#include "text/ascii.h"
#include "text/json_document.h"
#include "text/text.h"

namespace velm {
namespace {

using Json = nlohmann::json;

// At least as many as the entries of the text's "files", each of which holds a "sha256" key, so
// that the list of 100,000 files is allocated once: grown by doubling, it would hold up to three
// times the entries' memory while it moves. Pages that no entry fills are never touched.
size_t entryBound(const std::string& text) {
  static constexpr std::string_view kKey = "\"sha256\"";
  size_t count = 0;
  for (size_t at = text.find(kKey); at != std::string::npos; at = text.find(kKey, at + 1)) ++count;
  return count;
}

// One member's value, kept only as far as the checks look at it. A manifest may list 100,000
// files: the reader keeps these few facts per member rather than the whole document.
struct Value {
  enum class Kind { Absent, String, Unsigned, Negative, Float, Boolean, Other };
  explicit Value(Kind of = Kind::Absent) : kind(of) {}
  Kind kind;
  std::string text;     // a String's
  uint64_t number = 0;  // an Unsigned's; a Negative counts as 0, as the publisher never writes one
  bool flag = false;    // a Boolean's

  bool isInteger() const { return kind == Kind::Unsigned || kind == Kind::Negative; }
};

// The entry's "chunks" object, or why it cannot be used. A faulty one only costs a whole
// download, so it never fails the manifest.
std::string readChunkIndexRef(bool isObject, const Value& name, const Value& size,
                              const Value& sha256, ChunkIndexRef& ref) {
  if (!isObject) return "\"chunks\" is not an object";
  if (name.kind != Value::Kind::String || !isPlainFileName(name.text, nullptr)) {
    return "\"chunks\" has no plain file \"name\"";
  }
  ref.name = name.text;
  if (size.kind != Value::Kind::Unsigned || size.number == 0 || size.number > kMaxTextBody) {
    return "\"chunks\" has no \"size\" from 1 to " + decimalText(kMaxTextBody);
  }
  ref.size = size.number;
  if (sha256.kind != Value::Kind::String || !parseSha256Hex(sha256.text, ref.sha256)) {
    return "\"chunks\" has no \"sha256\" of 64 hex digits";
  }
  return std::string();
}

// The members of one entry of "files" that are read; a member given twice counts by its last
// value, as it would in a parsed document.
struct EntryValues {
  bool isObject = false;
  Value name, size, sha256, required;
  bool hasChunks = false;
  HeapOptional<ChunkIndexRef> chunks;
  std::string chunksIgnored;
};

// Checks one entry into file; returns the error text, empty when the entry is good. seenNames
// holds the lower-cased names of the earlier entries and gains this one.
std::string readEntry(EntryValues& entry, std::unordered_set<std::string>& seenNames,
                      ManifestFile& file) {
  if (!entry.isObject) return "an entry in \"files\" is not an object";

  if (entry.name.kind != Value::Kind::String) return "a file has no \"name\" string";
  file.name = std::move(entry.name.text);
  std::string reason;
  if (!isPlainFileName(file.name, &reason)) {
    return "rejected file name \"" + file.name + "\": it " + reason;
  }
  // Windows treats names that differ only in letter case as one file.
  if (!seenNames.insert(toLowerAscii(file.name)).second) {
    return "file name \"" + file.name + "\" is listed twice";
  }

  if (!entry.size.isInteger()) return file.name + ": \"size\" is missing or not an integer";
  file.size = entry.size.number;
  if (file.size == 0) return file.name + ": \"size\" is less than 1";

  if (entry.sha256.kind != Value::Kind::String) {
    return file.name + ": \"sha256\" is missing or not a string";
  }
  if (!parseSha256Hex(entry.sha256.text, file.sha256)) {
    return file.name + ": \"sha256\" is not 64 hex digits";
  }

  const Value::Kind required = entry.required.kind;
  if (required != Value::Kind::Absent && required != Value::Kind::Boolean) {
    return file.name + ": \"required\" is not true or false";
  }
  file.required = required == Value::Kind::Absent || entry.required.flag;

  if (entry.hasChunks) {
    file.chunks = std::move(entry.chunks);
    file.chunksIgnored = std::move(entry.chunksIgnored);
  }
  return std::string();
}

// Reads the document as the parser walks it (nlohmann's SAX interface). The document's own
// members are only judged once the text has proven to be JSON, in the order of their checks;
// the entries are judged as they end, which gives the same first error: an entry's checks look
// only at itself and at the entries before it, and the first bad one ends the reading.
class ManifestReader final : public Json::json_sax_t {
 public:
  // Returns the error text, empty when the manifest is good; then parsed holds it.
  std::string read(const std::string& text, Manifest& parsed) {
    files_.reserve(entryBound(text));
    if (!readJsonDocument(text, *this)) return "the manifest is not JSON";
    if (!rootIsObject_) return "the manifest is not a JSON object";

    if (version_.kind != Value::Kind::String) return "\"version\" is missing or not a string";
    parsed.version = std::move(version_.text);
    if (!isManifestVersion(parsed.version)) {
      return "\"version\" is neither N nor X.Y.Z: " + parsed.version;
    }

    if (serial_.kind != Value::Kind::Absent) {
      if (!serial_.isInteger()) return "\"serial\" is not an integer";
      const uint64_t value = serial_.number;
      if (value == 0) return "\"serial\" is less than 1";
      if (value > kMaxSerial) return "\"serial\" is more than " + decimalText(kMaxSerial);
      parsed.serial = value;
    }

    if (!filesIsArray_) return "\"files\" is missing or not an array";
    if (files_.empty() && filesError_.empty()) return "\"files\" is empty";
    if (!filesError_.empty()) return filesError_;
    parsed.files = std::move(files_);
    return std::string();
  }

  bool null() override { return scalar(Value(Value::Kind::Other)); }
  bool boolean(bool value) override {
    Value v{Value::Kind::Boolean};
    v.flag = value;
    return scalar(std::move(v));
  }
  bool number_integer(number_integer_t value) override {
    Value v{Value::Kind::Negative};
    v.number = value < 0 ? 0 : static_cast<uint64_t>(value);
    return scalar(std::move(v));
  }
  bool number_unsigned(number_unsigned_t value) override {
    Value v{Value::Kind::Unsigned};
    v.number = value;
    return scalar(std::move(v));
  }
  bool number_float(number_float_t, const string_t&) override {
    return scalar(Value(Value::Kind::Float));
  }
  bool string(string_t& value) override {
    Value v{Value::Kind::String};
    v.text = std::move(value);
    return scalar(std::move(v));
  }
  bool binary(binary_t&) override { return scalar(Value(Value::Kind::Other)); }

  bool start_object(std::size_t) override { return open(true); }
  bool start_array(std::size_t) override { return open(false); }
  bool key(string_t& name) override {
    if (skipped_ == 0) slot_ = slotOf(name);
    return true;
  }
  bool end_object() override { return close(); }
  bool end_array() override { return close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  // Where the parser is: the containers this reader looks into. Everything else is skipped,
  // counted in skipped_.
  enum class Level { Root, Document, Files, Entry, Chunks };
  // The member whose value comes next.
  enum class Slot { Other, Version, Serial, Files, Name, Size, Sha256, Required, Chunks };

  Level level() const { return levels_.empty() ? Level::Root : levels_.back(); }

  Slot slotOf(const std::string& name) const {
    switch (level()) {
      case Level::Document:
        if (name == "version") return Slot::Version;
        if (name == "serial") return Slot::Serial;
        if (name == "files") return Slot::Files;
        return Slot::Other;
      case Level::Entry:
      case Level::Chunks:
        if (name == "name") return Slot::Name;
        if (name == "size") return Slot::Size;
        if (name == "sha256") return Slot::Sha256;
        if (level() == Level::Chunks) return Slot::Other;
        if (name == "required") return Slot::Required;
        if (name == "chunks") return Slot::Chunks;
        return Slot::Other;
      default:
        return Slot::Other;
    }
  }

  // Where a value given to the current slot goes, or nullptr when it is not read.
  Value* target() {
    if (level() == Level::Document) {
      if (slot_ == Slot::Version) return &version_;
      if (slot_ == Slot::Serial) return &serial_;
    } else if (level() == Level::Entry || level() == Level::Chunks) {
      EntryValues& values = level() == Level::Entry ? entry_ : chunks_;
      if (slot_ == Slot::Name) return &values.name;
      if (slot_ == Slot::Size) return &values.size;
      if (slot_ == Slot::Sha256) return &values.sha256;
      if (slot_ == Slot::Required) return &values.required;
    }
    return nullptr;
  }

  bool scalar(Value value) {
    if (skipped_ > 0) return true;
    switch (level()) {
      case Level::Root:
        return true;
      case Level::Files:
        entry_ = EntryValues();
        judgeEntry();
        return true;
      case Level::Document:
        if (slot_ == Slot::Files) startFiles(false);
        break;
      case Level::Entry:
        if (slot_ == Slot::Chunks) setChunks(false);
        break;
      case Level::Chunks:
        break;
    }
    if (Value* to = target()) *to = std::move(value);
    return true;
  }

  bool open(bool isObject) {
    if (skipped_ > 0) {
      ++skipped_;
      return true;
    }
    switch (level()) {
      case Level::Root:
        if (!isObject) break;
        rootIsObject_ = true;
        levels_.push_back(Level::Document);
        return true;
      case Level::Document:
        if (slot_ == Slot::Version || slot_ == Slot::Serial) *target() = Value(Value::Kind::Other);
        if (slot_ != Slot::Files) break;
        startFiles(!isObject);
        if (isObject) break;
        levels_.push_back(Level::Files);
        return true;
      case Level::Files:
        entry_ = EntryValues();
        if (!isObject) {
          judgeEntry();
          break;
        }
        entry_.isObject = true;
        levels_.push_back(Level::Entry);
        return true;
      case Level::Entry:
      case Level::Chunks:
        if (Value* to = target()) *to = Value(Value::Kind::Other);
        if (level() != Level::Entry || slot_ != Slot::Chunks) break;
        if (!isObject) {
          setChunks(false);
          break;
        }
        chunks_ = EntryValues();
        levels_.push_back(Level::Chunks);
        return true;
    }
    skipped_ = 1;
    return true;
  }

  bool close() {
    if (skipped_ > 0) {
      --skipped_;
      return true;
    }
    const Level closed = level();
    levels_.pop_back();
    if (closed == Level::Entry) judgeEntry();
    if (closed == Level::Chunks) setChunks(true);
    return true;
  }

  // A "files" member: a later one replaces what an earlier one listed.
  void startFiles(bool isArray) {
    filesIsArray_ = isArray;
    files_.clear();
    seenNames_.clear();
    filesError_.clear();
  }

  void setChunks(bool isObject) {
    ChunkIndexRef ref;
    entry_.hasChunks = true;
    entry_.chunksIgnored =
        readChunkIndexRef(isObject, chunks_.name, chunks_.size, chunks_.sha256, ref);
    entry_.chunks.reset();
    if (entry_.chunksIgnored.empty()) entry_.chunks = std::move(ref);
    chunks_ = EntryValues();
  }

  void judgeEntry() {
    if (!filesError_.empty()) return;
    ManifestFile file;
    filesError_ = readEntry(entry_, seenNames_, file);
    if (filesError_.empty()) files_.push_back(std::move(file));
  }

  std::vector<Level> levels_;
  size_t skipped_ = 0;
  Slot slot_ = Slot::Other;
  bool rootIsObject_ = false;
  Value version_, serial_;
  bool filesIsArray_ = false;
  std::vector<ManifestFile> files_;
  std::unordered_set<std::string> seenNames_;
  std::string filesError_;
  EntryValues entry_, chunks_;
};

}  // namespace

bool isManifestVersion(const std::string& text) {
  size_t groups = 1;
  bool groupHasDigit = false;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      groupHasDigit = true;
    } else if (c == '.' && groupHasDigit) {
      ++groups;
      groupHasDigit = false;
    } else {
      return false;
    }
  }
  return groupHasDigit && (groups == 1 || groups == 3);
}

bool parseManifest(const std::string& text, Manifest& manifest, std::string* error) {
  Manifest parsed;
  std::string problem = ManifestReader().read(text, parsed);
  if (!problem.empty()) {
    if (error != nullptr) *error = std::move(problem);
    return false;
  }
  manifest = std::move(parsed);
  return true;
}

}  // namespace velm
