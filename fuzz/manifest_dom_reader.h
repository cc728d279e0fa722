// The manifest reader as it was before it read the document in one pass, parsing it whole into
// nlohmann's document model first: the oracle the one-pass reader must agree with on every text,
// verdict, error and values alike. Only the fuzz target uses it.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <utility>

#include "catalogue/catalogue.h"
#include "catalogue/file_name.h"
#include "net/net.h"
#include "package/manifest.h"
#include "text/ascii.h"
#include "text/json_document.h"
#include "text/text.h"

namespace velm {
namespace dom {

using Json = nlohmann::json;

// nlohmann keeps a number with a minus sign in the signed kind; every such value counts as 0.
inline uint64_t countValue(const Json& size) {
  if (size.is_number_unsigned()) return size.get<uint64_t>();
  const int64_t value = size.get<int64_t>();
  return value < 0 ? 0 : static_cast<uint64_t>(value);
}

// The entry's "chunks" object, or why it cannot be used. A faulty one only costs a whole
// download, so it never fails the manifest.
inline std::string readChunkIndexRef(const Json& value, ChunkIndexRef& ref) {
  if (!value.is_object()) return "\"chunks\" is not an object";
  const auto name = value.find("name");
  if (name == value.end() || !name->is_string() ||
      !isPlainFileName(name->get<std::string>(), nullptr)) {
    return "\"chunks\" has no plain file \"name\"";
  }
  ref.name = name->get<std::string>();
  const auto size = value.find("size");
  if (size == value.end() || !size->is_number_unsigned() || size->get<uint64_t>() == 0 ||
      size->get<uint64_t>() > kMaxTextBody) {
    return "\"chunks\" has no \"size\" from 1 to " + decimalText(kMaxTextBody);
  }
  ref.size = size->get<uint64_t>();
  const auto sha256 = value.find("sha256");
  if (sha256 == value.end() || !sha256->is_string() ||
      !parseSha256Hex(sha256->get<std::string>(), ref.sha256)) {
    return "\"chunks\" has no \"sha256\" of 64 hex digits";
  }
  return std::string();
}

// Reads one entry of "files" into file; returns the error text, empty when the entry is good.
// seenNames holds the lower-cased names of the earlier entries and gains this one.
inline std::string readEntry(const Json& entry, std::set<std::string>& seenNames,
                             ManifestFile& file) {
  if (!entry.is_object()) return "an entry in \"files\" is not an object";

  const auto name = entry.find("name");
  if (name == entry.end() || !name->is_string()) return "a file has no \"name\" string";
  file.name = name->get<std::string>();
  std::string reason;
  if (!isPlainFileName(file.name, &reason)) {
    return "rejected file name \"" + file.name + "\": it " + reason;
  }
  // Windows treats names that differ only in letter case as one file.
  if (!seenNames.insert(toLowerAscii(file.name)).second) {
    return "file name \"" + file.name + "\" is listed twice";
  }

  const auto size = entry.find("size");
  if (size == entry.end() || !size->is_number_integer()) {
    return file.name + ": \"size\" is missing or not an integer";
  }
  file.size = countValue(*size);
  if (file.size == 0) return file.name + ": \"size\" is less than 1";

  const auto sha256 = entry.find("sha256");
  if (sha256 == entry.end() || !sha256->is_string()) {
    return file.name + ": \"sha256\" is missing or not a string";
  }
  if (!parseSha256Hex(sha256->get<std::string>(), file.sha256)) {
    return file.name + ": \"sha256\" is not 64 hex digits";
  }

  const auto required = entry.find("required");
  if (required != entry.end() && !required->is_boolean()) {
    return file.name + ": \"required\" is not true or false";
  }
  file.required = required == entry.end() || required->get<bool>();

  const auto chunks = entry.find("chunks");
  if (chunks != entry.end()) {
    ChunkIndexRef ref;
    file.chunksIgnored = readChunkIndexRef(*chunks, ref);
    if (file.chunksIgnored.empty()) file.chunks = std::move(ref);
  }
  return std::string();
}

// Parses the whole document into parsed; returns the error text, empty when it is good.
inline std::string readManifest(const std::string& text, Manifest& parsed) {
  const Json document = parseJsonDocument(text);
  if (document.is_discarded()) return "the manifest is not JSON";
  if (!document.is_object()) return "the manifest is not a JSON object";

  const auto version = document.find("version");
  if (version == document.end() || !version->is_string()) {
    return "\"version\" is missing or not a string";
  }
  parsed.version = version->get<std::string>();
  if (!isManifestVersion(parsed.version)) {
    return "\"version\" is neither N nor X.Y.Z: " + parsed.version;
  }

  const auto serial = document.find("serial");
  if (serial != document.end()) {
    if (!serial->is_number_integer()) return "\"serial\" is not an integer";
    const uint64_t value = countValue(*serial);
    if (value == 0) return "\"serial\" is less than 1";
    if (value > kMaxSerial) return "\"serial\" is more than " + decimalText(kMaxSerial);
    parsed.serial = value;
  }

  const auto files = document.find("files");
  if (files == document.end() || !files->is_array()) return "\"files\" is missing or not an array";
  if (files->empty()) return "\"files\" is empty";

  std::set<std::string> seenNames;
  parsed.files.reserve(files->size());
  for (const Json& entry : *files) {
    ManifestFile file;
    std::string error = readEntry(entry, seenNames, file);
    if (!error.empty()) return error;
    parsed.files.push_back(std::move(file));
  }
  return std::string();
}

}  // namespace dom
}  // namespace velm
