#include "net/url.h"

#include <cstdint>

#include "text/ascii.h"
#include "text/text.h"

namespace velm {
namespace {

constexpr std::string_view kHttpsScheme = "https://";
constexpr uint64_t kMaxPort = 65535;

// The part of a URL before its query and fragment.
std::string_view withoutQuery(std::string_view url) {
  return url.substr(0, url.find_first_of("?#"));
}

bool hasBlankOrControl(std::string_view url) {
  for (char c : url) {
    if (static_cast<unsigned char>(c) <= ' ' || c == '\x7f') return true;
  }
  return false;
}

// Nothing, or digits up to kMaxPort.
bool isPortText(std::string_view text) {
  uint64_t port = 0;
  return text.empty() || parseDecimal(text, kMaxPort, port);
}

// A host name as HTTP clients take it: none of the characters that curl's URL parser refuses in
// one (a '%' it decodes first), or an IPv6 literal in brackets with an optional zone after '%'.
bool isHostText(std::string_view host) {
  if (host.empty()) return false;
  if (host.front() != '[') {
    return host.find_first_of("/:#?!@{}[]\\$'\"^`*<>=;,+&()") == std::string_view::npos;
  }
  if (host.size() < 4 || host.back() != ']') return false;
  const std::string_view inside = host.substr(1, host.size() - 2);
  const size_t zone = inside.find('%');
  const std::string_view address = inside.substr(0, zone);
  if (address.find_first_not_of("0123456789abcdefABCDEF:.") != std::string_view::npos ||
      address.find(':') == std::string_view::npos) {
    return false;
  }
  return zone == std::string_view::npos ||
         (inside.size() > zone + 1 &&
          inside.find_first_not_of("0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                   "-._~%",
                                   zone + 1) == std::string_view::npos);
}

}  // namespace

bool hasHttpsScheme(std::string_view url) { return startsWithNoCase(url, kHttpsScheme); }

bool hasHttpScheme(std::string_view url) { return startsWithNoCase(url, "http://"); }

bool isAbsoluteHttpsUrl(std::string_view url) {
  if (url.size() <= kHttpsScheme.size() || !hasHttpsScheme(url) || hasBlankOrControl(url)) {
    return false;
  }
  const char first = url[kHttpsScheme.size()];
  return first != '/' && first != '?' && first != '#';
}

bool isHttpsUrl(std::string_view url) {
  return url.size() > kHttpsScheme.size() && hasHttpsScheme(url) && url[kHttpsScheme.size()] != '/';
}

bool isRequestableHttpsUrl(std::string_view url) {
  // A NUL would end the address early in the clients' parsers, which refuse blanks too.
  if (hasBlankOrControl(url) || !hasHttpsScheme(url)) return false;
  std::string_view authority = url.substr(kHttpsScheme.size());
  authority = authority.substr(0, authority.find_first_of("/?#"));
  const size_t at = authority.rfind('@');
  if (at != std::string_view::npos) authority.remove_prefix(at + 1);
  // The port follows the first ':' after an IPv6 literal's closing bracket.
  const size_t close = authority.rfind(']');
  const size_t colon = authority.find(':', close == std::string_view::npos ? 0 : close);
  return isHostText(authority.substr(0, colon)) &&
         (colon == std::string_view::npos || isPortText(authority.substr(colon + 1)));
}

bool hasLowerCaseHttpsScheme(std::string_view url) {
  return url.substr(0, kHttpsScheme.size()) == kHttpsScheme;
}

std::string signatureUrl(const std::string& documentUrl) {
  return std::string(withoutQuery(documentUrl)) + ".sig";
}

std::string fileUrl(const std::string& manifestUrl, const std::string& name) {
  std::string base(withoutQuery(manifestUrl));
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

}  // namespace velm
