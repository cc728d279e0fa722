// A scripted Net: bodies, statuses and broken transfers per URL, and a log of what was asked.
// Safe to call from several threads, as the package update's downloads do.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "net/net.h"

namespace velm {

struct FakeNet final : Net {
  void serve(std::string url, std::string body);  // 200 with this body
  void answer(std::string url, uint32_t status);  // any other status, 0 for no answer
  // A transfer cut when the body reaches byte `bytes` (status 0), for the first `times`
  // requests of url; a Range request from that byte on is cut at once. A Range request gets 206
  // and the bytes from its first through its last byte (or the body's end); one from the
  // body's end or past it gets 416 and hears the body's length, as from a server.
  void breakAfter(std::string url, size_t bytes, size_t times = SIZE_MAX);
  // Forgets every reply and what was asked.
  void reset();
  // Answers a Range request with 200 and the whole body, as a server without ranges does.
  void ignoreRange(std::string url);
  // Bodies are delivered in chunks of this size (the platform Nets use at most 64 KiB).
  size_t chunkSize = 65536;
  // Called with each URL before it is answered, as something else the test plays happens then.
  std::function<void(const std::string& url)> onRequest;
  // What maxInFlight answers; a test may change it at any time, as a Net learns it.
  std::atomic<size_t> inFlight{kMaxTransfers};
  using Net::get;
  uint32_t get(const std::string& url, ByteSink& sink, const RequestOptions& options) override;
  size_t maxInFlight() override { return inFlight; }
  // What the code under test asked for, in order; the time-out each request asked for (0 for
  // the Net's own) and the bytes it asked to start and end at (lastBytes holds kToTheEnd for
  // no end). Read them once the requests are done.
  std::vector<std::string> requested;
  std::vector<uint32_t> timeouts;
  std::vector<uint64_t> firstBytes;
  std::vector<uint64_t> lastBytes;
  // Body bytes sent per URL, over all its requests.
  std::map<std::string, uint64_t> sent;

 private:
  struct Reply {
    uint32_t status = 200;
    std::string body;
    size_t breakAt = SIZE_MAX;
    size_t breaksLeft = SIZE_MAX;
    bool ranges = true;
  };
  std::mutex mutex_;
  std::map<std::string, Reply> replies_;  // unknown URLs answer 404
};

}  // namespace velm
