// fileUrl and percentEncode: a package file is fetched from the manifest's folder, and its name,
// whatever bytes it holds, stays one path segment there. Input: manifest URL, NUL, file name.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "net/url.h"

namespace velm {
namespace {

bool isUnreserved(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || fuzz::isDigit(c) || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

bool isUpperHex(char c) { return fuzz::isDigit(c) || (c >= 'A' && c <= 'F'); }

int hexValue(char c) { return fuzz::isDigit(c) ? c - '0' : c - 'A' + 10; }

// Decodes the encoder's output; the check above has already seen that it is well-formed.
std::string percentDecode(const std::string& text) {
  std::string decoded;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      decoded += text[i];
      continue;
    }
    decoded += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
    i += 2;
  }
  return decoded;
}

void checkEncoding(const std::string& name, const std::string& encoded) {
  // Only unreserved characters and %XX with upper-case digits; unreserved bytes are kept as they
  // are (an encoded one would be a second spelling of the same URL).
  for (size_t i = 0; i < encoded.size(); ++i) {
    if (isUnreserved(encoded[i])) continue;
    VELM_FUZZ_CHECK(encoded[i] == '%' && i + 2 < encoded.size() && isUpperHex(encoded[i + 1]) &&
                    isUpperHex(encoded[i + 2]));
    VELM_FUZZ_CHECK(
        !isUnreserved(static_cast<char>(hexValue(encoded[i + 1]) * 16 + hexValue(encoded[i + 2]))));
    i += 2;
  }
  VELM_FUZZ_CHECK(percentDecode(encoded) == name);
}

}  // namespace
}  // namespace velm

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velm;
  const auto [manifestUrl, name] = fuzz::splitAtNul(fuzz::text(data, size));
  const std::string encoded = percentEncode(name);
  checkEncoding(name, encoded);
  checkEncoding(manifestUrl, percentEncode(manifestUrl));

  // The folder does not depend on the name, and the name is appended as one encoded segment.
  const std::string url = fileUrl(manifestUrl, name);
  const std::string folder = fileUrl(manifestUrl, "");
  VELM_FUZZ_CHECK(url == folder + encoded);

  // The folder: the manifest URL without query or fragment, up to and with its last "/" past
  // the scheme's "://" (or with a "/" added where there is none).
  const std::string base = manifestUrl.substr(0, manifestUrl.find_first_of("?#"));
  const size_t scheme = base.find("://");
  const size_t host = scheme == std::string::npos ? 0 : scheme + 3;
  VELM_FUZZ_CHECK(!folder.empty() && folder.back() == '/');
  const std::string stem = folder.substr(0, folder.size() - 1);
  VELM_FUZZ_CHECK(base.rfind(stem, 0) == 0);
  VELM_FUZZ_CHECK(folder.find_first_of("?#") == std::string::npos);
  if (stem.size() == base.size()) {
    VELM_FUZZ_CHECK(base.find('/', host) == std::string::npos);
  } else {
    VELM_FUZZ_CHECK(folder.size() - 1 >= host && base[folder.size() - 1] == '/');
    VELM_FUZZ_CHECK(base.find('/', folder.size()) == std::string::npos);
  }
  // A URL the package update accepts keeps its scheme and host.
  if (isHttpsUrl(manifestUrl)) {
    const size_t hostEnd = base.find('/', 8);
    const std::string origin = base.substr(0, hostEnd);
    VELM_FUZZ_CHECK(folder.rfind(origin, 0) == 0 && folder.size() > origin.size());
  }
  return 0;
}
