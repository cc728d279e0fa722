// parseBuildIdentity: any bytes as a launcher build, with the sanitizers watching every read. An
// identity it finds is one the bytes hold, word for word as the build system writes the section;
// anything else leaves the identity as it was.
#include "selfupdate/build_identity.h"

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"

namespace velm {
namespace {

// The section's bytes for an identity, written here independently of the parser.
std::string sectionOf(const BuildIdentity& identity) {
  std::string bytes = "VLID";
  bytes += '\1';
  bytes += static_cast<char>(identity.keys.size());
  bytes += static_cast<char>(identity.host.size() & 0xFF);
  bytes += static_cast<char>(identity.host.size() >> 8);
  bytes += identity.host;
  for (const TrustedKey& key : identity.keys) bytes.append(key.begin(), key.end());
  return bytes;
}

}  // namespace
}  // namespace velm

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velm;
  const std::string image = fuzz::text(data, size);
  BuildIdentity identity{"untouched", {}};
  const BuildIdentityStatus status = parseBuildIdentity(image, identity);
  if (status != BuildIdentityStatus::Found) {
    VELM_FUZZ_CHECK(status == BuildIdentityStatus::None ||
                    status == BuildIdentityStatus::Unreadable);
    VELM_FUZZ_CHECK(identity.host == "untouched" && identity.keys.empty());
    return 0;
  }
  VELM_FUZZ_CHECK(identity.keys.size() <= 0xFF && identity.host.size() <= 0xFFFF);
  VELM_FUZZ_CHECK(image.find(sectionOf(identity)) != std::string::npos);
  BuildIdentity again;
  VELM_FUZZ_CHECK(parseBuildIdentity(image, again) == BuildIdentityStatus::Found &&
                  again.host == identity.host && again.keys == identity.keys);
  return 0;
}
