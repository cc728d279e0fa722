// A scripted Net: bodies, statuses and broken transfers per URL, and a log of what was asked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "net/net.h"

namespace velm {

struct FakeNet final : Net {
  void serve(std::string url, std::string body);          // 200 with this body
  void answer(std::string url, uint32_t status);          // any other status, 0 for no answer
  void breakAfter(std::string url, size_t bytes);         // a transfer cut mid-way: status 0
  // Bodies are delivered in chunks of this size (the platform Nets use at most 64 KiB).
  size_t chunkSize = 65536;
  using Net::get;
  uint32_t get(const std::string& url, ByteSink& sink, const RequestOptions& options) override;
  std::vector<std::string> requested;  // what the code under test asked for, in order
  std::vector<uint32_t> timeouts;      // the time-out each request asked for, 0 for the Net's own

 private:
  struct Reply {
    uint32_t status = 200;
    std::string body;
    size_t breakAt = SIZE_MAX;
  };
  std::map<std::string, Reply> replies_;  // unknown URLs answer 404
};

}  // namespace velm
