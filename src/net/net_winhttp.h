// The Windows Net over WinHTTP: one session handle for the run, a connection per request.
#pragma once

#include <cstdint>
#include <string>

#include "net/net.h"
#include "platform/unique_handle.h"

namespace velm {

class WinHttpNet final : public Net {
 public:
  // A failed WinHttpOpen is not reported: every get then answers 0.
  WinHttpNet(const std::wstring& userAgent, uint32_t timeoutMs);
  WinHttpNet(const WinHttpNet&) = delete;
  WinHttpNet& operator=(const WinHttpNet&) = delete;
  using Net::get;
  uint32_t get(const std::string& url, ByteSink& sink, const RequestOptions& options) override;

 private:
  // The session's HINTERNET, kept out of this header.
  struct SessionTraits {
    using Handle = void*;
    static void* none() { return nullptr; }
    static void close(void* handle);
  };
  UniqueHandle<SessionTraits> internet_;
  uint32_t timeoutMs_;
};

}  // namespace velm
