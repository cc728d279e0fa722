#include "platform_net.h"

#include <cstdio>
#include <cstdlib>

namespace velm {
namespace {

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

}  // namespace

std::string httpsPort() { return environment("VELM_TEST_HTTPS_PORT"); }
std::string httpPort() { return environment("VELM_TEST_HTTP_PORT"); }
std::string oldTlsPort() { return environment("VELM_TEST_OLD_TLS_PORT"); }
std::string tls12Port() { return environment("VELM_TEST_TLS12_PORT"); }

std::string httpsUrl(const std::string& pathAndMore) {
  return "https://localhost:" + httpsPort() + pathAndMore;
}

std::string httpUrl(const std::string& pathAndMore) {
  return "http://localhost:" + httpPort() + pathAndMore;
}

std::string patternBody(size_t lines) {
  std::string body;
  body.reserve(lines * 8);
  char line[24];
  for (size_t i = 0; i < lines; ++i) {
    std::snprintf(line, sizeof(line), "%07zu\n", i);
    body += line;
  }
  return body;
}

}  // namespace velm
