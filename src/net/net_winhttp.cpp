// The Windows Net: synchronous WinHTTP with the platform's proxy, redirect and TLS defaults.
#include "net/net_winhttp.h"

#include <windows.h>
#include <winhttp.h>

#include <utility>
#include <vector>

#include "text/text.h"

namespace velm {
namespace {

constexpr DWORD kResolveTimeoutMs = 3000;
constexpr DWORD kConnectTimeoutMs = 3000;
constexpr DWORD kReadSize = 65536;

// Move-only owner of one HINTERNET; closing the request before its connection is the order
// WinHTTP asks for, which the declaration order in get() gives.
class HttpHandle {
 public:
  explicit HttpHandle(HINTERNET handle = nullptr) : handle_(handle) {}
  ~HttpHandle() { reset(); }
  HttpHandle(HttpHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  HttpHandle& operator=(HttpHandle&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  HttpHandle(const HttpHandle&) = delete;
  HttpHandle& operator=(const HttpHandle&) = delete;

  HINTERNET get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  void reset() {
    if (handle_ != nullptr) WinHttpCloseHandle(handle_);
    handle_ = nullptr;
  }
  HINTERNET handle_;
};

struct Target {
  bool secure = false;
  INTERNET_PORT port = 0;
  std::wstring host;
  std::wstring path;  // path and query, never empty
};

// Splits the URL the way WinHTTP will use it. False for anything that is not a plain http or
// https URL with a host.
bool crackUrl(const std::string& url, Target& target) {
  // The cracker reads up to the first NUL, so a URL with one inside would quietly name
  // another resource than the caller asked for.
  if (url.find('\0') != std::string::npos) return false;
  // The fragment belongs to the client and has no place in a request; not every cracker
  // splits it off, so it goes before cracking.
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

// The Content-Length of a plain (not chunked) body, when the answer declares one.
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
  Target target;
  if (!crackUrl(url, target)) return 0;

  HttpHandle connection(WinHttpConnect(internet_, target.host.c_str(), target.port, 0));
  if (!connection) return 0;
  HttpHandle request(WinHttpOpenRequest(connection.get(), L"GET", target.path.c_str(), nullptr,
                                        WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                        target.secure ? WINHTTP_FLAG_SECURE : 0));
  if (!request) return 0;

  const int timeout = static_cast<int>(timeoutMs_);
  WinHttpSetTimeouts(request.get(), kResolveTimeoutMs, kConnectTimeoutMs, timeout, timeout);
  if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA,
                          0, 0, 0)) {
    return 0;
  }
  if (!WinHttpReceiveResponse(request.get(), nullptr)) return 0;

  DWORD status = 0;
  DWORD statusSize = sizeof(status);
  WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                      WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX);
  if (status != 200) return status;

  // One buffer for the whole body, so a file of any size streams with constant memory.
  std::vector<char> buffer(kReadSize, '\0');
  uint64_t received = 0;
  for (;;) {
    DWORD count = 0;
    if (!WinHttpReadData(request.get(), buffer.data(), kReadSize, &count)) return 0;
    if (count == 0) break;
    received += count;
    // A stop from the sink keeps the 200: the caller knows why it stopped.
    if (!sink(buffer.data(), count)) return status;
  }
  // Wine's WinHTTP ends a body that the connection cut short as if it were complete. Short of
  // its declared length, it is a broken transfer whatever the client says.
  uint64_t declared = 0;
  if (declaredLength(request.get(), declared) && received < declared) return 0;
  return status;
}

}  // namespace velm
