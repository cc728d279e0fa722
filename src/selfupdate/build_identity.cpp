#include "selfupdate/build_identity.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <utility>

#include "os/read_only_file.h"
#include "text/ascii.h"

namespace velm {
namespace {

// Reads exactly length bytes at offset into out; false when the file holds fewer.
using ReadAt = std::function<bool(uint64_t offset, size_t length, std::string& out)>;

// The section's name as both tables hold it: padded with NULs to 8 bytes in a PE section
// header, followed by its NUL in an ELF string table.
constexpr size_t kNameBytes = 8;
static_assert(sizeof kBuildIdentitySection <= kNameBytes, "a PE section name has 8 bytes");

// Bounds on what a hostile header can make the reader walk or hold. A PE loader takes at most
// 96 sections; a linked ELF program has a few dozen.
constexpr uint32_t kMaxPeSections = 96;
constexpr uint32_t kMaxElfSections = 4096;
constexpr size_t kMaxIdentityBytes = kBuildIdentityHeaderSize + 0xFFFF + 0xFF * 32;

uint32_t le(const std::string& bytes, size_t at, size_t width) {
  uint32_t value = 0;
  for (size_t i = width; i-- > 0;) value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
  return value;
}

uint64_t le64(const std::string& bytes, size_t at) {
  return static_cast<uint64_t>(le(bytes, at + 4, 4)) << 32 | le(bytes, at, 4);
}

bool isOurName(const std::string& name) {
  return name.size() == kNameBytes &&
         std::memcmp(name.data(), kBuildIdentitySection, sizeof kBuildIdentitySection) == 0 &&
         std::all_of(name.begin() + sizeof kBuildIdentitySection, name.end(),
                     [](char c) { return c == '\0'; });
}

// Where the section's bytes lie in the file.
struct Span {
  uint64_t offset = 0;
  uint64_t size = 0;
};

// An image that is a PE: found sets span when its section table names the section.
bool findPeSection(const ReadAt& read, const std::string& dos, bool& found, Span& span) {
  if (dos.compare(0, 2, "MZ") != 0) return false;
  const uint64_t pe = le(dos, 0x3C, 4);
  std::string header;
  if (!read(pe, 24, header) || header.compare(0, 4, std::string("PE\0\0", 4)) != 0) return false;
  const uint32_t count = le(header, 6, 2);
  if (count > kMaxPeSections) return true;
  const uint64_t table = pe + 24 + le(header, 20, 2);
  std::string entry;
  for (uint32_t i = 0; i < count; ++i) {
    if (!read(table + 40 * i, 40, entry)) return true;
    if (!isOurName(entry.substr(0, kNameBytes))) continue;
    // The virtual size is the data's own; the raw size is rounded up to the file alignment, and
    // a virtual size of 0 (as in object files) means the raw size alone counts.
    const uint32_t virtualSize = le(entry, 8, 4);
    const uint32_t rawSize = le(entry, 16, 4);
    span.offset = le(entry, 20, 4);
    span.size = virtualSize == 0 ? rawSize : std::min(virtualSize, rawSize);
    found = true;
    return true;
  }
  return true;
}

// An image that is a 64-bit little-endian ELF: found sets span when a section header names the
// section.
bool findElfSection(const ReadAt& read, const std::string& header, bool& found, Span& span) {
  if (header.compare(0, 4, "\177ELF") != 0 || header[4] != 2 || header[5] != 1) {
    return false;
  }
  const uint64_t table = le64(header, 0x28);
  const uint32_t entrySize = le(header, 0x3A, 2);
  const uint32_t count = le(header, 0x3C, 2);
  const uint32_t namesIndex = le(header, 0x3E, 2);
  // A count of 0 moves the real one elsewhere, for tables beyond any launcher's size.
  if (entrySize != 64 || count == 0 || count > kMaxElfSections || namesIndex >= count ||
      table > UINT64_MAX - 64 * uint64_t{count}) {
    return true;
  }
  std::string entry;
  if (!read(table + 64 * uint64_t{namesIndex}, 64, entry)) return true;
  const uint64_t namesOffset = le64(entry, 0x18);
  const uint64_t namesSize = le64(entry, 0x20);
  std::string name;
  for (uint32_t i = 0; i < count; ++i) {
    if (!read(table + 64 * uint64_t{i}, 64, entry)) return true;
    const uint64_t nameAt = le(entry, 0, 4);
    if (namesSize < kNameBytes || nameAt > namesSize - kNameBytes ||
        namesOffset > UINT64_MAX - nameAt) {
      continue;
    }
    if (!read(namesOffset + nameAt, kNameBytes, name) || !isOurName(name)) continue;
    constexpr uint32_t kNoBits = 8;  // a section that takes room in memory, none in the file
    if (le(entry, 4, 4) == kNoBits) continue;
    span.offset = le64(entry, 0x18);
    span.size = le64(entry, 0x20);
    found = true;
    return true;
  }
  return true;
}

BuildIdentityStatus readIdentity(const std::string& bytes, BuildIdentity& identity) {
  if (bytes.size() < kBuildIdentityHeaderSize || bytes.compare(0, 4, kBuildIdentityMagic) != 0 ||
      static_cast<uint8_t>(bytes[4]) != kBuildIdentityFormat) {
    return BuildIdentityStatus::Unreadable;
  }
  const size_t keyCount = static_cast<uint8_t>(bytes[5]);
  const size_t hostLength = le(bytes, 6, 2);
  const size_t keysAt = kBuildIdentityHeaderSize + hostLength;
  const size_t keySize = std::tuple_size<TrustedKey>::value;
  if (bytes.size() < keysAt + keyCount * keySize) return BuildIdentityStatus::Unreadable;
  BuildIdentity found;
  found.host = bytes.substr(kBuildIdentityHeaderSize, hostLength);
  found.keys.resize(keyCount);
  for (size_t k = 0; k < keyCount; ++k) {
    std::memcpy(found.keys[k].data(), bytes.data() + keysAt + k * keySize, keySize);
  }
  identity = std::move(found);
  return BuildIdentityStatus::Found;
}

BuildIdentityStatus findIdentity(const ReadAt& read, BuildIdentity& identity) {
  // Both headers fit in the first 64 bytes; so does the smallest image of either kind.
  std::string header;
  if (!read(0, 64, header)) return BuildIdentityStatus::None;
  bool found = false;
  Span span;
  if (!findPeSection(read, header, found, span) && !findElfSection(read, header, found, span)) {
    return BuildIdentityStatus::None;
  }
  if (!found) return BuildIdentityStatus::None;
  std::string bytes;
  const size_t length = static_cast<size_t>(std::min<uint64_t>(span.size, kMaxIdentityBytes));
  if (!read(span.offset, length, bytes)) return BuildIdentityStatus::Unreadable;
  return readIdentity(bytes, identity);
}

}  // namespace

BuildIdentityStatus parseBuildIdentity(std::string_view image, BuildIdentity& identity) {
  const ReadAt read = [image](uint64_t offset, size_t length, std::string& out) {
    if (offset > image.size() || length > image.size() - offset) return false;
    out.assign(image.substr(static_cast<size_t>(offset), length));
    return true;
  };
  return findIdentity(read, identity);
}

BuildIdentityStatus readBuildIdentity(const std::filesystem::path& path, BuildIdentity& identity) {
  const ReadOnlyFile file = openReadOnly(path);
  if (!file) return BuildIdentityStatus::None;
  const ReadAt read = [&file](uint64_t offset, size_t length, std::string& out) {
    // fseek takes a long, 32 bits on Windows: an offset beyond it lies past any launcher's end.
    if (offset > static_cast<uint64_t>(LONG_MAX) ||
        std::fseek(file.get(), static_cast<long>(offset), SEEK_SET) != 0) {
      return false;
    }
    out.resize(length);
    return std::fread(out.data(), 1, length, file.get()) == length;
  };
  return findIdentity(read, identity);
}

BuildFit judgeBuild(const BuildIdentity& identity, const TrustedKey& key, std::string_view host) {
  if (std::find(identity.keys.begin(), identity.keys.end(), key) == identity.keys.end()) {
    return BuildFit::OtherKey;
  }
  return equalsNoCase(identity.host, host) ? BuildFit::Fits : BuildFit::OtherHost;
}

}  // namespace velm
