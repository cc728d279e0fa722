// A static site as velm-publish writes it: every file planned (and every clash found) before
// anything is written, then the whole tree written at once.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "text/text.h"

namespace velm {

// Where the file of an https URL lives in a published tree: the host (ASCII lower case, port
// kept) as the first folder, then the URL's path with each %XX decoded, as a static server maps
// a request to a file; query and fragment play no part. Refuses URLs that no file can answer:
// no path, an empty, "." or ".." segment, a bad escape, an encoded "/" or NUL, a host with bytes
// other than letters, digits and ".-_~:[]".
[[nodiscard]] bool siteFilePath(const std::string& url, std::string& path, std::string* error);

class SiteTree {
 public:
  // Plans a file at path (from siteFilePath) holding content, or a copy of the file source
  // whose SHA-256 and size are known. origin names it in messages. Adding the same bytes twice
  // is fine; different bytes at one path, or a path that another file needs as a folder, is
  // refused with *error naming both origins.
  [[nodiscard]] bool addText(const std::string& path, const std::string& content,
                             const std::string& origin, std::string* error);
  [[nodiscard]] bool addCopy(const std::string& path, const std::string& source,
                             const Sha256Digest& sha256, uint64_t size, const std::string& origin,
                             std::string* error);

  // Writes every planned file below out, which must be missing or an empty folder. The tree is
  // built in a new folder beside out and renamed to out at the end, so out never holds half a
  // tree. A copied file whose bytes changed since they were planned fails the write.
  [[nodiscard]] bool write(const std::string& out, std::string* error) const;

 private:
  struct Entry {
    std::string origin;
    Sha256Digest sha256{};
    uint64_t size = 0;
    std::string content;  // for text
    std::string source;   // for a copy; empty for text
  };
  bool add(const std::string& path, Entry entry, std::string* error);
  bool writeEntry(const std::string& root, const std::string& path, const Entry& entry,
                  std::string* error) const;

  std::map<std::string, Entry> entries_;
};

}  // namespace velm
