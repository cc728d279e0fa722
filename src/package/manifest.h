// manifest.json: the signed list of a game's package files.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "text/text.h"

namespace velm {

// The name under which the package folder keeps the manifest, and velm-publish writes it.
inline constexpr char kManifestName[] = "manifest.json";

// The chunk index published beside a large file (package/chunk_index.h), named and pinned by
// the signed manifest: it is used only with this size and digest.
struct ChunkIndexRef {
  std::string name;
  uint64_t size = 0;
  Sha256Digest sha256{};
};

// What std::optional offers here, with the value on the heap: an entry without one costs a
// pointer, not the value's 80 bytes (100,000 files without chunk indexes: 7 MB).
template <typename T>
class HeapOptional {
 public:
  HeapOptional() = default;
  HeapOptional(const HeapOptional& other) : value_(copy(other)) {}
  HeapOptional(HeapOptional&&) noexcept = default;
  HeapOptional& operator=(const HeapOptional& other) {
    value_ = copy(other);
    return *this;
  }
  HeapOptional& operator=(HeapOptional&&) noexcept = default;
  HeapOptional& operator=(T value) {
    value_ = std::make_unique<T>(std::move(value));
    return *this;
  }
  explicit operator bool() const { return value_ != nullptr; }
  bool has_value() const { return value_ != nullptr; }
  const T& operator*() const { return *value_; }
  const T* operator->() const { return value_.get(); }
  void reset() { value_.reset(); }

 private:
  static std::unique_ptr<T> copy(const HeapOptional& other) {
    return other ? std::make_unique<T>(*other) : nullptr;
  }
  std::unique_ptr<T> value_;
};

struct ManifestFile {
  std::string name;
  uint64_t size = 0;
  Sha256Digest sha256{};
  bool required = true;
  // The entry's optional "chunks"; one that cannot be used is left out, as launchers that do not
  // know the key leave it out, and chunksIgnored says why (velm-publish refuses it).
  HeapOptional<ChunkIndexRef> chunks;
  std::string chunksIgnored;
};

struct Manifest {
  std::string version;
  std::vector<ManifestFile> files;
  // Grows with every publication of the game's package (at most kMaxSerial); absent in older
  // manifests.
  std::optional<uint64_t> serial;
};

// On success replaces manifest and returns true; on failure leaves it, sets *error (if given).
[[nodiscard]] bool parseManifest(const std::string& text, Manifest& manifest, std::string* error);
// N or X.Y.Z with groups of one or more ASCII digits. The version is compared as text only, so
// leading zeros and long groups are fine.
[[nodiscard]] bool isManifestVersion(const std::string& text);

// The document for a manifest, as velm-publish writes it: 2-space indent, keys in the documented
// order, digests in lower case, "required" written only for optional files, a final line feed.
std::string manifestJson(const Manifest& manifest);

}  // namespace velm
