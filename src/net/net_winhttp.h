// The Windows Net over WinHTTP: one session handle for the run, a connection per request.
#pragma once

#include <cstdint>
#include <string>

#include "net/net.h"

namespace velm {

class WinHttpNet final : public Net {
 public:
  // A failed WinHttpOpen is not reported: every get then answers 0.
  WinHttpNet(const std::wstring& userAgent, uint32_t timeoutMs);
  ~WinHttpNet() override;
  WinHttpNet(const WinHttpNet&) = delete;
  WinHttpNet& operator=(const WinHttpNet&) = delete;
  uint32_t get(const std::string& url, ByteSink& sink) override;

 private:
  void* internet_ = nullptr;  // HINTERNET, kept out of this header
  uint32_t timeoutMs_;
};

}  // namespace velm
