// Launcher builds in miniature: a 64-bit little-endian PE or ELF image whose section table names
// the given sections, and the identity section as the build system writes it. Tests build the
// images they read, break them field by field, and publish or download them as builds.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "signature/signature.h"

namespace velm {

enum class ImageFormat { Pe, Elf };

struct TestImage {
  std::string bytes;
  // Where the fields that tests break lie: the section count (2 bytes), the first section
  // header, and the size of one header. ELF images hold a null section first and their string
  // table last, as linkers write them; PE images hold the given sections alone.
  size_t countAt = 0;
  size_t headersAt = 0;
  size_t headerSize = 0;
};

// Each section's content lies in the file in the given order; a PE section's raw size is
// padded to 512 bytes, as linkers pad it, its virtual size the content's own.
TestImage makeTestImage(ImageFormat format,
                        const std::vector<std::pair<std::string, std::string>>& sections);

// The bytes of the ".velmid" section that says a build trusts keys and reads host's catalogue.
std::string identitySection(const std::string& host, const std::vector<TrustedKey>& keys);

// A build with a code section and that identity, followed by tail (a build marker, say).
std::string identifiedBuild(ImageFormat format, const std::string& host,
                            const std::vector<TrustedKey>& keys, const std::string& tail = "");

}  // namespace velm
