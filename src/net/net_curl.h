// The POSIX port's Net over libcurl: one easy handle kept for the run, so connections are reused.
#pragma once

#include <cstdint>
#include <string>

#include "net/net.h"
#include "platform/unique_handle.h"

namespace velm {

class CurlNet final : public Net {
 public:
  // A failed set-up is not reported: every get then answers 0.
  CurlNet(const std::string& userAgent, uint32_t timeoutMs);
  CurlNet(const CurlNet&) = delete;
  CurlNet& operator=(const CurlNet&) = delete;
  using Net::get;
  uint32_t get(const std::string& url, ByteSink& sink, const RequestOptions& options) override;

 private:
  // The easy handle, a CURL* kept out of this header.
  struct EasyTraits {
    using Handle = void*;
    static void* none() { return nullptr; }
    static void close(void* handle);
  };
  UniqueHandle<EasyTraits> handle_;
  uint32_t timeoutMs_;
};

}  // namespace velm
