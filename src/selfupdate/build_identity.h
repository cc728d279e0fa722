// What a launcher build trusts, as the build itself says it: the catalogue host and the public
// keys it was built with. The build system writes them into a section of every launcher
// (cmake/build_marker.cpp.in), so that velm-publish and the self-update can refuse a build that
// could not read the catalogue announcing it, which would otherwise strand every player on it.
//
// The section is named ".velmid", in a PE section table (a name of up to 8 bytes stands in the
// table itself) and in the ELF section headers alike. Its bytes:
//   0  "VLID"
//   4  the format, 1
//   5  the number of keys
//   6  the host's length in bytes, 2 bytes, little-endian
//   8  the host as VELM_CATALOGUE_HOST gives it, then each key's 32 bytes
// Whatever follows (a PE section's padding) is not looked at.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "signature/signature.h"

namespace velm {

inline constexpr char kBuildIdentitySection[] = ".velmid";
inline constexpr char kBuildIdentityMagic[] = "VLID";
inline constexpr uint8_t kBuildIdentityFormat = 1;
inline constexpr size_t kBuildIdentityHeaderSize = 8;

struct BuildIdentity {
  std::string host;
  std::vector<TrustedKey> keys;
};

// Found fills the identity. None: the file is no PE or ELF image (64-bit, little-endian), has no
// such section, or cannot be opened. Unreadable: the section is there but its bytes break the
// format, or name a format this code does not know, or lie past the end of the file.
enum class BuildIdentityStatus : uint32_t { Found, None, Unreadable };

// Reads the section through the image's own section table, with every offset and count checked
// against the file: a hostile or truncated file gives None or Unreadable, never a read outside
// it, and no more than a bounded number of bytes is read.
BuildIdentityStatus parseBuildIdentity(std::string_view image, BuildIdentity& identity);
BuildIdentityStatus readBuildIdentity(const std::filesystem::path& path, BuildIdentity& identity);

// Whether a build can read a catalogue signed with key and fetched from host: it must trust
// the key, and hold the host (ASCII letters in either case) as its catalogue host. The key is
// judged first.
enum class BuildFit : uint32_t { Fits, OtherKey, OtherHost };
BuildFit judgeBuild(const BuildIdentity& identity, const TrustedKey& key, std::string_view host);

}  // namespace velm
