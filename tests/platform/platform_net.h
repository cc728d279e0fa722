// Where the platform tests reach the local test server, and what they fetch from it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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
std::string untrustedPort();
// nginx serving the same site, offering HTTP/2 as well as HTTP/1.1, and its access log: a line
// per request, "CONNECTION REQUESTS STATUS BYTES METHOD PATH PROTOCOL".
std::string http2Port();
std::string http2LogPath();
// The server's request log (see server.py), a line per request once it is answered.
std::string requestLogPath();

// The numbered-line bodies that make_site.py writes: "0000000\n0000001\n...", or from firstLine.
std::string patternBody(size_t lines, size_t firstLine = 0);

// Everything one request handed its sink, chunk by chunk, and what its onBody heard.
struct Received {
  std::string body;
  std::vector<size_t> chunks;
  std::vector<uint32_t> statuses;  // onBody's, in order
  bool chunkBeforeStatus = false;  // a chunk came before onBody did
  size_t stopAfterChunks = SIZE_MAX;

  ByteSink sink();
  // Options that ask from firstByte on (through lastByte) and record onBody here.
  RequestOptions options(uint64_t firstByte = 0, uint64_t lastByte = RequestOptions::kToTheEnd);
};

// The files fetched at once: part0.bin to part7.bin, each its own lines.
inline constexpr size_t kParts = 8;
inline constexpr size_t kPartLines = 30000;
std::string partBody(size_t part);

// Fetches each part in a thread of its own, all threads let go together, rounds times over: even
// rounds the whole file, odd rounds from a byte on. The URLs carry "?tag" and go to the test
// server, or to https on port. Returns what went wrong, one line each; empty when every answer
// and body was right.
std::vector<std::string> fetchPartsAtOnce(Net& net, size_t rounds, const std::string& tag,
                                          const std::string& port = std::string());

}  // namespace velm
