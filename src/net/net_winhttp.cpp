// The Windows Net: synchronous WinHTTP with the platform's proxy, redirect and TLS defaults.
#include "net/net_winhttp.h"

#include <windows.h>
#include <winhttp.h>

#include <vector>

#include "net/winhttp_request_win.h"

namespace velm {
namespace {

constexpr DWORD kReadSize = 65536;

}  // namespace

WinHttpNet::WinHttpNet(const std::wstring& userAgent, uint32_t timeoutMs)
    : internet_(WinHttpOpen(userAgent.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                            WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0)),
      timeoutMs_(timeoutMs) {}

WinHttpNet::~WinHttpNet() {
  if (internet_ != nullptr) WinHttpCloseHandle(internet_);
}

uint32_t WinHttpNet::get(const std::string& url, ByteSink& sink) {
  if (internet_ == nullptr) return 0;
  RequestTarget target;
  if (!crackRequestTarget(url, target)) return 0;
  Response response = sendGet(internet_, target, timeoutMs_);
  if (response.status != 200) return response.status;

  // One buffer for the whole body, so a file of any size streams with constant memory.
  std::vector<char> buffer(kReadSize, '\0');
  uint64_t received = 0;
  for (;;) {
    DWORD count = 0;
    if (!WinHttpReadData(response.request.get(), buffer.data(), kReadSize, &count)) return 0;
    if (count == 0) break;
    received += count;
    // A stop from the sink keeps the 200: the caller knows why it stopped.
    if (!sink(buffer.data(), count)) return response.status;
  }
  if (endedEarly(response.request.get(), received)) return 0;
  return response.status;
}

}  // namespace velm
