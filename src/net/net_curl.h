// The POSIX port's Net over libcurl: one easy handle kept for the run, so connections are reused.
#pragma once

#include <cstdint>
#include <string>

#include "net/net.h"

namespace velm {

class CurlNet final : public Net {
 public:
  // A failed set-up is not reported: every get then answers 0.
  CurlNet(const std::string& userAgent, uint32_t timeoutMs);
  ~CurlNet() override;
  CurlNet(const CurlNet&) = delete;
  CurlNet& operator=(const CurlNet&) = delete;
  uint32_t get(const std::string& url, ByteSink& sink) override;

 private:
  void* handle_ = nullptr;  // CURL*, kept out of this header
  uint32_t timeoutMs_;
};

}  // namespace velm
