#include "site_tree.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <system_error>
#include <vector>

#include "catalogue/file_name.h"
#include "net/sha256.h"
#include "net/url.h"
#include "text/ascii.h"
#include "text/path_text.h"
#include "text/text.h"

namespace velm {
namespace {

namespace fs = std::filesystem;

void setError(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
}

bool isHostByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::strchr(".-_~:[]", c) != nullptr;
}

// One path segment with each %XX decoded; false for a bad escape.
bool decodeSegment(const std::string& segment, std::string& decoded) {
  decoded.clear();
  for (size_t i = 0; i < segment.size(); ++i) {
    if (segment[i] != '%') {
      decoded += segment[i];
      continue;
    }
    uint8_t byte = 0;
    if (!decodeHex(segment.substr(i + 1, 2), &byte, 1)) return false;
    decoded += static_cast<char>(byte);
    i += 2;
  }
  return true;
}

bool failUrl(const std::string& url, const std::string& reason, std::string* error) {
  setError(error, "\"" + url + "\" cannot be published as a file: " + reason);
  return false;
}

// Creates folder/prefixXXXXXX for six random letters and digits; a name that exists is never
// taken, so no one else's folder is written into.
bool makeFreshFolder(const fs::path& folder, const std::string& prefix, std::string& made,
                     std::error_code& code) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::random_device seed;
  std::mt19937 random(seed());
  std::uniform_int_distribution<size_t> pick(0, sizeof kLetters - 2);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = prefix;
    for (int i = 0; i < 6; ++i) name += kLetters[pick(random)];
    const fs::path path = joinPath(folder, name);
    if (fs::create_directory(path, code)) {
      made = path.u8string();
      return true;
    }
    if (code) return false;
  }
  code = std::make_error_code(std::errc::file_exists);
  return false;
}

bool sameBytes(const Sha256Digest& digest, uint64_t size, const Sha256Digest& otherDigest,
               uint64_t otherSize) {
  return size == otherSize && digest == otherDigest;
}

}  // namespace

bool siteFilePath(const std::string& url, std::string& path, std::string* error) {
  if (url.size() <= 8 || !hasHttpsScheme(url)) {
    return failUrl(url, "it is not an https URL", error);
  }
  const std::string rest = url.substr(8, url.find_first_of("?#") - 8);
  const size_t slash = rest.find('/');
  const std::string host = toLowerAscii(rest.substr(0, slash));
  for (char c : host) {
    if (!isHostByte(c)) return failUrl(url, "its host is not a plain host name", error);
  }
  if (host.empty() || host == "." || host == "..") {
    return failUrl(url, "its host is not a plain host name", error);
  }
  if (slash == std::string::npos) return failUrl(url, "it has no path", error);

  std::string result = host;
  size_t start = slash + 1;
  while (true) {
    const size_t end = rest.find('/', start);
    const std::string segment = rest.substr(start, end == std::string::npos ? end : end - start);
    std::string decoded;
    if (segment.empty()) {
      return failUrl(url,
                     end == std::string::npos ? "it names a folder, not a file"
                                              : "its path has an empty segment",
                     error);
    }
    if (!decodeSegment(segment, decoded)) return failUrl(url, "it has a bad % escape", error);
    if (decoded == "." || decoded == "..") return failUrl(url, "its path has . or ..", error);
    if (decoded.find_first_of(std::string("/\0", 2)) != std::string::npos) {
      return failUrl(url, "its path encodes / or a NUL byte", error);
    }
    result += "/" + decoded;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  path = std::move(result);
  return true;
}

bool SiteTree::addText(const std::string& path, const std::string& content,
                       const std::string& origin, std::string* error) {
  return add(path, Entry{origin, textSha256(content), content.size(), content, std::string()},
             error);
}

bool SiteTree::addCopy(const std::string& path, const std::string& source,
                       const Sha256Digest& sha256, uint64_t size, const std::string& origin,
                       std::string* error) {
  return add(path, Entry{origin, sha256, size, std::string(), source}, error);
}

bool SiteTree::add(const std::string& path, Entry entry, std::string* error) {
  auto found = entries_.find(path);
  if (found != entries_.end()) {
    if (sameBytes(found->second.sha256, found->second.size, entry.sha256, entry.size)) {
      return true;
    }
    setError(error, path + ": both " + found->second.origin + " and " + entry.origin +
                        " would be published there");
    return false;
  }
  // A file cannot also be a folder: look for a planned file at each parent of path, and for a
  // planned file below path.
  for (size_t slash = path.find('/'); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    auto parent = entries_.find(path.substr(0, slash));
    if (parent != entries_.end()) {
      setError(error, parent->first + ": " + parent->second.origin + " would be published there, " +
                          "but " + entry.origin + " needs it as a folder");
      return false;
    }
  }
  auto below = entries_.lower_bound(path + "/");
  if (below != entries_.end() && below->first.compare(0, path.size() + 1, path + "/") == 0) {
    setError(error, path + ": " + entry.origin + " would be published there, but " +
                        below->second.origin + " needs it as a folder");
    return false;
  }
  entries_.emplace(path, std::move(entry));
  return true;
}

bool SiteTree::write(const std::string& out, std::string* error) const {
  const fs::path target = fs::u8path(out);
  std::error_code code;
  if (fs::exists(fs::symlink_status(target, code)) &&
      !(fs::is_directory(fs::symlink_status(target, code)) && fs::is_empty(target, code))) {
    setError(error, out + " exists and is not an empty folder");
    return false;
  }
  // A new folder of a name no one else holds, with the default permissions: a static host's
  // server must read the tree.
  const fs::path parent = target.parent_path().empty() ? fs::path(".") : target.parent_path();
  std::string partial;
  if (!makeFreshFolder(parent, target.filename().u8string() + ".partial-", partial, code)) {
    setError(error, out + ": cannot make a folder beside it (" + code.message() + ")");
    return false;
  }

  for (const auto& [path, entry] : entries_) {
    if (!writeEntry(partial, path, entry, error)) {
      fs::remove_all(fs::u8path(partial), code);
      return false;
    }
  }
  fs::rename(fs::u8path(partial), target, code);
  if (code) {
    setError(error, out + ": cannot move the finished tree there (" + code.message() + ")");
    fs::remove_all(fs::u8path(partial), code);
    return false;
  }
  return true;
}

bool SiteTree::writeEntry(const std::string& root, const std::string& path, const Entry& entry,
                          std::string* error) const {
  const fs::path file = joinPath(pathFromUtf8(root), path);
  std::error_code code;
  fs::create_directories(file.parent_path(), code);
  std::ofstream output(file, std::ios::binary | std::ios::trunc);
  if (code || !output.is_open()) {
    setError(error, path + ": cannot be written");
    return false;
  }
  if (entry.source.empty()) {
    output.write(entry.content.data(), static_cast<std::streamsize>(entry.content.size()));
  } else {
    // Copied by hand rather than with fs::copy_file, which would also copy the source's mode
    // (an owner-only file would be unreadable to the web server); hashed on the way.
    std::ifstream input(fs::u8path(entry.source), std::ios::binary);
    Sha256 hasher;
    uint64_t copied = 0;
    std::vector<char> chunk(1 << 20);
    while (input) {
      input.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
      const size_t got = static_cast<size_t>(input.gcount());
      hasher.update(chunk.data(), got);
      output.write(chunk.data(), static_cast<std::streamsize>(got));
      copied += got;
    }
    if (input.bad() || !input.eof() ||
        !sameBytes(hasher.finalDigest(), copied, entry.sha256, entry.size)) {
      setError(error, entry.source + " changed or could not be read while it was copied");
      return false;
    }
  }
  output.close();
  if (!output) {
    setError(error, path + ": cannot be written");
    return false;
  }
  return true;
}

}  // namespace velm
