// The identity a build carries: found through the PE and ELF section tables, and every broken,
// truncated or hostile table or section refused without a read outside the file.
#include "selfupdate/build_identity.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/build_image.h"
#include "support/fixtures.h"
#include "support/temp_dir.h"
#include "support/test_signer.h"

namespace velm {
namespace {

using Status = BuildIdentityStatus;
const char kHost[] = "coop.example.org:8443";
const std::vector<TrustedKey> kKeys = {testPublicKey(untrustedSeed()), trustedTestKey()};
const std::string kIdentity = identitySection(kHost, kKeys);

void put(std::string& bytes, size_t at, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i) & 0xFF);
}

// A build whose second section (after ELF's null one) is ".velmid", and where its header lies.
struct Build {
  explicit Build(ImageFormat f, const std::string& identity = kIdentity)
      : format(f),
        image(makeTestImage(f, {{".text", "code"}, {".velmid", identity}, {".rdata", "data"}})),
        header(image.headersAt + image.headerSize * (f == ImageFormat::Elf ? 2 : 1)) {}
  // Where the section's data lies, or how long it is (for a PE, its virtual and raw size).
  void setOffset(uint64_t value) {
    if (format == ImageFormat::Pe) return put(image.bytes, header + 20, value, 4);
    put(image.bytes, header + 0x18, value, 8);
  }
  void setSize(uint64_t value) {
    if (format == ImageFormat::Elf) return put(image.bytes, header + 0x20, value, 8);
    put(image.bytes, header + 8, value, 4);
    put(image.bytes, header + 16, value, 4);
  }
  ImageFormat format;
  TestImage image;
  size_t header;
};

TEST(BuildIdentity, IsFoundThroughEitherSectionTableOrFileAlike) {
  TempDir dir;
  for (ImageFormat format : {ImageFormat::Pe, ImageFormat::Elf}) {
    const std::string bytes = Build(format).image.bytes;
    BuildIdentity parsed, read;
    ASSERT_EQ(parseBuildIdentity(bytes, parsed), Status::Found);
    ASSERT_EQ(readBuildIdentity(dir.write("build", bytes), read), Status::Found);
    for (const BuildIdentity& identity : {parsed, read}) {
      EXPECT_EQ(identity.host, kHost);
      EXPECT_EQ(identity.keys, kKeys);
    }
  }
  BuildIdentity identity;
  EXPECT_EQ(readBuildIdentity(dir.path() / "missing", identity), Status::None);
}

TEST(BuildIdentity, RefusesWhatIsBrokenAndIgnoresWhatIsNoIdentity) {
  struct Case {
    const char* what;
    std::function<void(Build&)> change;
    Status status;
    std::optional<ImageFormat> only = std::nullopt;  // a field of one format alone
  };
  const auto identity = [](const std::string& bytes) {
    return [bytes](Build& b) { b = Build(b.format, bytes); };
  };
  const Case cases[] = {
      {"a name that begins with it",
       [](Build& b) {
         b.image = makeTestImage(b.format, {{".velmidx", kIdentity}});
       },
       Status::None},
      {"65535 sections", [](Build& b) { put(b.image.bytes, b.image.countAt, 0xFFFF, 2); },
       Status::None},
      {"a section table cut short", [](Build& b) { b.image.bytes.resize(b.header + 30); },
       Status::None},
      {"another magic", identity("VLIX" + kIdentity.substr(4)), Status::Unreadable},
      {"an unknown format", identity("VLID\2" + kIdentity.substr(5)), Status::Unreadable},
      {"a host longer than the section",
       identity(kIdentity.substr(0, 6) + "\xff\xff" + kIdentity.substr(8)), Status::Unreadable},
      {"more keys than the section holds",
       identity(kIdentity.substr(0, 5) + "\3" + kIdentity.substr(6)), Status::Unreadable},
      {"data past the end of the file", [](Build& b) { b.setOffset(0xFFFFFFF0u); },
       Status::Unreadable},
      {"a size past the end of the file", [](Build& b) { b.setSize(0xFFFFFFFFu); },
       Status::Unreadable},
      {"no key and no host", identity(identitySection("", {})), Status::Found},
      {"a PE header past the end", [](Build& b) { put(b.image.bytes, 0x3C, 0xFFFFFFFFu, 4); },
       Status::None, ImageFormat::Pe},
      // A virtual size of 0 leaves the raw size, padding and all: the identity is still whole.
      {"a PE virtual size of 0", [](Build& b) { put(b.image.bytes, b.header + 8, 0, 4); },
       Status::Found, ImageFormat::Pe},
      {"ELF headers at the top of the offset range",
       [](Build& b) { put(b.image.bytes, 0x28, 0xFFFFFFFFFFFFFFC0u, 8); }, Status::None,
       ImageFormat::Elf},
      {"an ELF name past its table", [](Build& b) { put(b.image.bytes, b.header, 0xFFFFFFFFu, 4); },
       Status::None, ImageFormat::Elf},
      {"an ELF section with no bytes in the file",
       [](Build& b) { put(b.image.bytes, b.header + 4, 8, 4); }, Status::None, ImageFormat::Elf},
      {"a 32-bit ELF", [](Build& b) { b.image.bytes[4] = 1; }, Status::None, ImageFormat::Elf},
  };
  for (ImageFormat format : {ImageFormat::Pe, ImageFormat::Elf}) {
    for (const Case& c : cases) {
      if (c.only && *c.only != format) continue;
      Build build(format);
      c.change(build);
      BuildIdentity identity;
      EXPECT_EQ(parseBuildIdentity(build.image.bytes, identity), c.status)
          << (format == ImageFormat::Pe ? "PE: " : "ELF: ") << c.what;
    }
  }
}

// Cut anywhere, an image gives its whole identity or none: never a part of one.
TEST(BuildIdentity, ACutImageGivesTheWholeIdentityOrNone) {
  for (ImageFormat format : {ImageFormat::Pe, ImageFormat::Elf}) {
    const std::string bytes = Build(format).image.bytes;
    for (size_t length = 0; length < bytes.size(); ++length) {
      BuildIdentity identity;
      if (parseBuildIdentity(bytes.substr(0, length), identity) == Status::Found) {
        EXPECT_EQ(identity.keys, kKeys) << "cut at " << length;
      }
    }
  }
}

TEST(BuildIdentity, FitsOnlyWithTheSigningKeyAndTheHost) {
  struct Case {
    std::vector<TrustedKey> keys;
    std::string host;
    BuildFit fit;
  };
  const TrustedKey other = kKeys[0], signer = kKeys[1];
  const Case cases[] = {
      {kKeys, "COOP.Example.org:8443", BuildFit::Fits},
      {{other}, kHost, BuildFit::OtherKey},
      {{}, "elsewhere.org", BuildFit::OtherKey},
      {{signer}, "coop.example.org", BuildFit::OtherHost},
      {{signer}, "coop.example.net:8443", BuildFit::OtherHost},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(judgeBuild(BuildIdentity{c.host, c.keys}, signer, kHost), c.fit) << c.host;
  }
}

}  // namespace
}  // namespace velm
