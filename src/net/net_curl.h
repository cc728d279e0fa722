// The POSIX port's Net over libcurl: one thread drives every transfer over one multi handle,
// so every thread of a download reuses its connections and HTTP/2 multiplexes them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "net/net.h"

namespace velm {

class CurlNet final : public Net {
 public:
  // A failed set-up is not reported: every get then answers 0. timeoutMs is the stall time of
  // every request, documentDeadlineMs the longest a document may take (0: no limit).
  CurlNet(const std::string& userAgent, uint32_t timeoutMs, uint32_t documentDeadlineMs);
  ~CurlNet() override;
  CurlNet(const CurlNet&) = delete;
  CurlNet& operator=(const CurlNet&) = delete;
  using Net::get;
  uint32_t get(const std::string& url, ByteSink& sink, const RequestOptions& options) override;
  // kMaxStreams once an answer came over HTTP/2, which multiplexes; else kMaxTransfers.
  size_t maxInFlight() override;

 private:
  // The idle easy handles and the caches they share, kept out of this header with curl's types.
  struct Pool;
  std::unique_ptr<Pool> pool_;
  std::string userAgent_;
  uint32_t timeoutMs_;
  uint32_t documentDeadlineMs_;
};

}  // namespace velm
