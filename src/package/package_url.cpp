#include "package/package_url.h"

#include <cstdio>

#include "text/text.h"

namespace velm {

bool isHttpsUrl(const std::string& url) {
  return url.size() > 8 && startsWithNoCase(url, "https://") && url[8] != '/';
}

std::string fileUrl(const std::string& manifestUrl, const std::string& name) {
  std::string base = manifestUrl.substr(0, manifestUrl.find_first_of("?#"));
  const size_t scheme = base.find("://");
  const size_t host = scheme == std::string::npos ? 0 : scheme + 3;
  const size_t slash = base.rfind('/');
  if (slash != std::string::npos && slash >= host) {
    base.erase(slash + 1);
  } else {
    base += '/';
  }
  return base + percentEncode(name);
}

std::string percentEncode(const std::string& text) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(text.size());
  for (char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    const bool kept = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                      (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_' ||
                      byte == '~';
    if (kept) {
      encoded += c;
    } else {
      encoded += '%';
      encoded += kDigits[byte >> 4];
      encoded += kDigits[byte & 15];
    }
  }
  return encoded;
}

std::string sizeText(uint64_t bytes) {
  constexpr uint64_t kMiB = 1048576;
  char buffer[32];
  if (bytes >= 10 * kMiB) {
    std::snprintf(buffer, sizeof buffer, "%llu MB", static_cast<unsigned long long>(bytes / kMiB));
  } else if (bytes >= kMiB) {
    std::snprintf(buffer, sizeof buffer, "%.1f MB", static_cast<double>(bytes) / kMiB);
  } else {
    std::snprintf(buffer, sizeof buffer, "%llu KB", static_cast<unsigned long long>(bytes / 1024));
  }
  return buffer;
}

}  // namespace velm
