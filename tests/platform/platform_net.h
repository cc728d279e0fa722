// Where the platform tests reach the local test server.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "net/net.h"

namespace velm {

// URLs on the local test server that run_platform_tests.sh started; its ports come in through
// the environment. Empty when the tests run without that script.
std::string httpsUrl(const std::string& pathAndMore);
std::string httpUrl(const std::string& pathAndMore);
std::string httpsPort();
std::string httpPort();
// Servers of the same site that offer only TLS 1.0 and 1.1, and only TLS 1.2.
std::string oldTlsPort();
std::string tls12Port();

// The numbered-line bodies that make_site.py writes: "0000000\n0000001\n...".
std::string patternBody(size_t lines);

}  // namespace velm
