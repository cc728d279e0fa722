#include "platform_net.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <future>
#include <thread>

namespace velm {
namespace {

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// One part's rounds; what went wrong is appended to failures.
void fetchPart(Net& net, size_t part, size_t rounds, const std::string& tag,
               const std::string& port, std::vector<std::string>& failures) {
  const std::string whole = partBody(part);
  const std::string url = "https://localhost:" + (port.empty() ? httpsPort() : port) + "/part" +
                          std::to_string(part) + ".bin?" + tag;
  for (size_t round = 0; round < rounds; ++round) {
    const uint64_t firstByte = round % 2 == 1 ? 1000 * (part + 1) : 0;
    const uint32_t expected = firstByte > 0 ? 206 : 200;
    Received received;
    ByteSink sink = received.sink();
    const std::string where = url + " round " + std::to_string(round) + ": ";
    uint32_t status = 0;
    try {
      status = net.get(url, sink, received.options(firstByte));
    } catch (const std::exception& error) {
      failures.push_back(where + "threw " + error.what());
      continue;
    }
    if (status != expected) {
      failures.push_back(where + "status " + std::to_string(status));
    } else if (received.body != whole.substr(firstByte)) {
      failures.push_back(where + "a body of " + std::to_string(received.body.size()) +
                         " bytes that is not the file's");
    } else if (received.statuses != std::vector<uint32_t>{expected}) {
      failures.push_back(where + "onBody was not called once with the status");
    }
  }
}

}  // namespace

std::string httpsPort() { return environment("VELM_TEST_HTTPS_PORT"); }
std::string httpPort() { return environment("VELM_TEST_HTTP_PORT"); }
std::string oldTlsPort() { return environment("VELM_TEST_OLD_TLS_PORT"); }
std::string tls12Port() { return environment("VELM_TEST_TLS12_PORT"); }
std::string untrustedPort() { return environment("VELM_TEST_UNTRUSTED_PORT"); }
std::string requestLogPath() { return environment("VELM_TEST_REQUEST_LOG"); }
std::string http2Port() { return environment("VELM_TEST_H2_PORT"); }
std::string http2LogPath() { return environment("VELM_TEST_H2_LOG"); }

std::string httpsUrl(const std::string& pathAndMore) {
  return "https://localhost:" + httpsPort() + pathAndMore;
}

std::string httpUrl(const std::string& pathAndMore) {
  return "http://localhost:" + httpPort() + pathAndMore;
}

std::string patternBody(size_t lines, size_t firstLine) {
  std::string body;
  body.reserve(lines * 8);
  char line[24];
  for (size_t i = firstLine; i < firstLine + lines; ++i) {
    std::snprintf(line, sizeof(line), "%07zu\n", i);
    body += line;
  }
  return body;
}

ByteSink Received::sink() {
  return [this](const char* data, size_t length) {
    if (statuses.empty()) chunkBeforeStatus = true;
    body.append(data, length);
    chunks.push_back(length);
    return chunks.size() < stopAfterChunks;
  };
}

RequestOptions Received::options(uint64_t firstByte, uint64_t lastByte) {
  RequestOptions options;
  options.firstByte = firstByte;
  options.lastByte = lastByte;
  options.onBody = [this](uint32_t status) { statuses.push_back(status); };
  return options;
}

std::string partBody(size_t part) { return patternBody(kPartLines, part * 1000000); }

std::vector<std::string> fetchPartsAtOnce(Net& net, size_t rounds, const std::string& tag,
                                          const std::string& port) {
  std::vector<std::vector<std::string>> failures(kParts);
  std::promise<void> go;
  const std::shared_future<void> started = go.get_future().share();
  std::vector<std::thread> threads;
  for (size_t part = 0; part < kParts; ++part) {
    threads.emplace_back([&, part] {
      started.wait();
      fetchPart(net, part, rounds, tag, port, failures[part]);
    });
  }
  go.set_value();
  for (std::thread& thread : threads) thread.join();
  std::vector<std::string> all;
  for (const std::vector<std::string>& some : failures) {
    all.insert(all.end(), some.begin(), some.end());
  }
  return all;
}

}  // namespace velm
