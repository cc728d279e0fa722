#include "support/build_image.h"

#include <cstdint>

namespace velm {
namespace {

void put(std::string& bytes, size_t at, uint64_t value, size_t width) {
  if (bytes.size() < at + width) bytes.resize(at + width, '\0');
  for (size_t i = 0; i < width; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i) & 0xFF);
}

size_t roundUp(size_t value, size_t unit) { return (value + unit - 1) / unit * unit; }

// DOS header, "PE\0\0", the COFF header and a PE32+ optional header, then the section table.
TestImage peImage(const std::vector<std::pair<std::string, std::string>>& sections) {
  TestImage image{"MZ", 64 + 6, 64 + 24 + 240, 40};
  put(image.bytes, 0x3C, 64, 4);
  image.bytes += std::string("PE\0\0", 4);
  put(image.bytes, 64 + 4, 0x8664, 2);
  put(image.bytes, image.countAt, sections.size(), 2);
  put(image.bytes, 64 + 20, 240, 2);
  put(image.bytes, 64 + 24, 0x20B, 2);
  size_t data = roundUp(image.headersAt + 40 * sections.size(), 512);
  for (size_t i = 0; i < sections.size(); ++i) {
    const auto& [name, content] = sections[i];
    const size_t header = image.headersAt + 40 * i;
    put(image.bytes, header + 20, data, 4);
    image.bytes.replace(header, name.size(), name);
    put(image.bytes, header + 8, content.size(), 4);
    put(image.bytes, header + 16, roundUp(content.size(), 512), 4);
    image.bytes.resize(data, '\0');
    image.bytes += content;
    data = roundUp(data + content.size(), 512);
  }
  image.bytes.resize(data, '\0');
  return image;
}

// The header, each section's content, the names, then the headers: null, given, names.
TestImage elfImage(const std::vector<std::pair<std::string, std::string>>& sections) {
  TestImage image{"\177ELF\2\1\1", 0x3C, 0, 64};  // 64 bits, little-endian, version 1
  put(image.bytes, 0x34, 64, 2);
  put(image.bytes, 0x3A, 64, 2);
  put(image.bytes, image.countAt, sections.size() + 2, 2);
  put(image.bytes, 0x3E, sections.size() + 1, 2);
  std::string names(1, '\0');
  std::string headers(64, '\0');
  const auto addSection = [&](const std::string& name, uint32_t type, size_t offset, size_t size) {
    std::string header(64, '\0');
    put(header, 0, names.size(), 4);
    put(header, 4, type, 4);
    put(header, 0x18, offset, 8);
    put(header, 0x20, size, 8);
    headers += header;
    names += name + '\0';
  };
  for (const auto& [name, content] : sections) {
    addSection(name, 1, image.bytes.size(), content.size());
    image.bytes += content;
  }
  addSection(".shstrtab", 3, image.bytes.size(), names.size() + 10);
  image.bytes += names;
  image.headersAt = roundUp(image.bytes.size(), 8);
  put(image.bytes, 0x28, image.headersAt, 8);
  image.bytes.resize(image.headersAt, '\0');
  image.bytes += headers;
  return image;
}

}  // namespace

TestImage makeTestImage(ImageFormat format,
                        const std::vector<std::pair<std::string, std::string>>& sections) {
  return format == ImageFormat::Pe ? peImage(sections) : elfImage(sections);
}

std::string identitySection(const std::string& host, const std::vector<TrustedKey>& keys) {
  std::string bytes = "VLID\1";
  put(bytes, 5, keys.size(), 1);
  put(bytes, 6, host.size(), 2);
  bytes += host;
  for (const TrustedKey& key : keys) bytes.append(key.begin(), key.end());
  return bytes;
}

std::string identifiedBuild(ImageFormat format, const std::string& host,
                            const std::vector<TrustedKey>& keys, const std::string& tail) {
  return makeTestImage(format, {{".text", "the launcher's code"},
                                {".velmid", identitySection(host, keys)},
                                {".rdata", "its constants"}})
             .bytes +
         tail;
}

}  // namespace velm
