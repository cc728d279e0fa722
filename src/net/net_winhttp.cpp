// The Windows Net: synchronous WinHTTP with the platform's proxy, redirect and TLS defaults.
#include "net/net_winhttp.h"

#include <windows.h>
#include <winhttp.h>

#include <vector>

#include "platform/unique_handle.h"
#include "text/text.h"

namespace velm {
namespace {

constexpr DWORD kResolveTimeoutMs = 3000;
constexpr DWORD kConnectTimeoutMs = 3000;
constexpr DWORD kReadSize = 65536;

struct InternetTraits {
  using Handle = HINTERNET;
  static HINTERNET none() { return nullptr; }
  static void close(HINTERNET handle) { WinHttpCloseHandle(handle); }
};
using InternetHandle = UniqueHandle<InternetTraits>;

struct RequestTarget {
  bool secure = false;
  INTERNET_PORT port = 0;
  std::wstring host;
  std::wstring path;  // path and query, never empty
};

// Splits an http or https URL with a host the way WinHTTP will use it; false for anything else.
// The fragment is never part of the request.
bool crackRequestTarget(const std::string& url, RequestTarget& target) {
  // The cracker reads up to the first NUL, so a URL with one inside would quietly name
  // another resource than the caller asked for.
  if (url.find('\0') != std::string::npos) return false;
  // The fragment belongs to the client and has no place in a request; not every cracker splits
  // it off (Wine's leaves it in the path), so it goes before cracking.
  std::wstring wide = utf8ToWide(url.substr(0, url.find('#')));

  URL_COMPONENTS parts = {};
  static_assert(sizeof(URL_COMPONENTS) == 104, "the 64-bit record layout WinHTTP expects");
  parts.dwStructSize = sizeof(parts);
  parts.dwSchemeLength = static_cast<DWORD>(-1);
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(wide.c_str(), 0, 0, &parts)) return false;
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) {
    return false;
  }

  target.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  target.port = parts.nPort;
  target.host.clear();
  target.path.clear();
  if (parts.lpszHostName != nullptr) {
    target.host.assign(parts.lpszHostName, parts.dwHostNameLength);
  }
  if (parts.lpszUrlPath != nullptr) target.path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
  if (parts.lpszExtraInfo != nullptr) {  // the query travels with the path
    target.path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  }
  if (target.host.empty()) return false;
  if (target.path.empty()) target.path = L"/";
  return true;
}

// One GET up to its status. Members close in reverse order: the request before its connection.
struct Response {
  InternetHandle connection;
  InternetHandle request;
  uint32_t status = 0;
};

Response sendGet(HINTERNET session, const RequestTarget& target, DWORD transferTimeoutMs) {
  Response response;
  response.connection.reset(WinHttpConnect(session, target.host.c_str(), target.port, 0));
  if (!response.connection) return response;
  response.request.reset(WinHttpOpenRequest(
      response.connection.get(), L"GET", target.path.c_str(), nullptr, WINHTTP_NO_REFERER,
      WINHTTP_DEFAULT_ACCEPT_TYPES, target.secure ? WINHTTP_FLAG_SECURE : 0));
  if (!response.request) return response;
  const int timeout = static_cast<int>(transferTimeoutMs);
  WinHttpSetTimeouts(response.request.get(), kResolveTimeoutMs, kConnectTimeoutMs, timeout,
                     timeout);
  if (!WinHttpSendRequest(response.request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                          WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
      !WinHttpReceiveResponse(response.request.get(), nullptr)) {
    return response;
  }
  DWORD status = 0;
  DWORD statusSize = sizeof(status);
  // A failed query leaves 0: no answer.
  WinHttpQueryHeaders(response.request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                      WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX);
  response.status = status;
  return response;
}

// The Content-Length of a body that is not chunked; false when there is none.
bool declaredLength(HINTERNET request, uint64_t& length) {
  wchar_t text[32];
  DWORD size = sizeof(text);
  if (WinHttpQueryHeaders(request, WINHTTP_QUERY_TRANSFER_ENCODING, WINHTTP_HEADER_NAME_BY_INDEX,
                          text, &size, WINHTTP_NO_HEADER_INDEX)) {
    return false;
  }
  size = sizeof(text);
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX,
                           text, &size, WINHTTP_NO_HEADER_INDEX)) {
    return false;
  }
  const size_t digits = size / sizeof(wchar_t);
  if (digits == 0 || digits > 19) return false;
  length = 0;
  for (size_t i = 0; i < digits; ++i) {
    if (text[i] < L'0' || text[i] > L'9') return false;
    length = length * 10 + static_cast<uint64_t>(text[i] - L'0');
  }
  return true;
}

// Wine's WinHTTP ends a body that the connection cut short as if it were complete: short of its
// declared Content-Length (when it is not chunked), a body is a broken transfer.
bool endedEarly(HINTERNET request, uint64_t received) {
  uint64_t declared = 0;
  return declaredLength(request, declared) && received < declared;
}

}  // namespace

WinHttpNet::WinHttpNet(const std::wstring& userAgent, uint32_t timeoutMs)
    : internet_(WinHttpOpen(userAgent.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                            WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0)),
      timeoutMs_(timeoutMs) {}

void WinHttpNet::SessionTraits::close(void* handle) { WinHttpCloseHandle(handle); }

uint32_t WinHttpNet::get(const std::string& url, ByteSink& sink, const RequestOptions& options) {
  if (!internet_) return 0;
  RequestTarget target;
  if (!crackRequestTarget(url, target)) return 0;
  Response response =
      sendGet(internet_.get(), target,
              options.transferTimeoutMs != 0 ? options.transferTimeoutMs : timeoutMs_);
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

std::unique_ptr<Net> makeSystemNet(uint32_t timeoutMs) {
  return std::make_unique<WinHttpNet>(utf8ToWide(kUserAgent), timeoutMs);
}

}  // namespace velm
