#include "package/package_url.h"

#include <cstdio>

#include "text/text.h"

namespace velm {
namespace {

constexpr uint32_t kMaxPort = 65535;

// Nothing, or digits up to kMaxPort.
bool isPortText(const std::string& text) {
  uint32_t port = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    port = port * 10 + static_cast<uint32_t>(c - '0');
    if (port > kMaxPort) return false;
  }
  return true;
}

// A host name as HTTP clients take it: none of the characters that curl's URL parser refuses in
// one (a '%' it decodes first), or an IPv6 literal in brackets with an optional zone after '%'.
bool isHostText(const std::string& host) {
  if (host.empty()) return false;
  if (host.front() != '[') {
    return host.find_first_of("/:#?!@{}[]\\$'\"^`*<>=;,+&()") == std::string::npos;
  }
  if (host.size() < 4 || host.back() != ']') return false;
  const std::string inside = host.substr(1, host.size() - 2);
  const size_t zone = inside.find('%');
  const std::string address = inside.substr(0, zone);
  if (address.find_first_not_of("0123456789abcdefABCDEF:.") != std::string::npos ||
      address.find(':') == std::string::npos) {
    return false;
  }
  return zone == std::string::npos ||
         (inside.size() > zone + 1 &&
          inside.find_first_not_of("0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                   "-._~%",
                                   zone + 1) == std::string::npos);
}

}  // namespace

bool isHttpsUrl(const std::string& url) {
  return url.size() > 8 && startsWithNoCase(url, "https://") && url[8] != '/';
}

bool isRequestableHttpsUrl(const std::string& url) {
  // Blanks and control characters (a NUL would end it early) are refused by the clients' parsers.
  for (char c : url) {
    if (static_cast<unsigned char>(c) <= ' ' || c == '\x7f') return false;
  }
  if (!startsWithNoCase(url, "https://")) return false;
  const size_t end = url.find_first_of("/?#", 8);
  std::string authority = url.substr(8, end == std::string::npos ? end : end - 8);
  const size_t at = authority.rfind('@');
  if (at != std::string::npos) authority.erase(0, at + 1);
  // The port follows the first ':' after an IPv6 literal's closing bracket.
  const size_t close = authority.rfind(']');
  const size_t colon = authority.find(':', close == std::string::npos ? 0 : close);
  return isHostText(authority.substr(0, colon)) &&
         (colon == std::string::npos || isPortText(authority.substr(colon + 1)));
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
