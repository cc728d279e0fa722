#include "net/winhttp_request_win.h"

#include "text/text.h"

namespace velm {
namespace {

constexpr DWORD kResolveTimeoutMs = 3000;
constexpr DWORD kConnectTimeoutMs = 3000;

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

Response sendGet(HINTERNET session, const RequestTarget& target, DWORD transferTimeoutMs) {
  Response response;
  response.connection =
      InternetHandle(WinHttpConnect(session, target.host.c_str(), target.port, 0));
  if (!response.connection) return response;
  response.request = InternetHandle(WinHttpOpenRequest(
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
  response.answered = true;
  DWORD status = 0;
  DWORD statusSize = sizeof(status);
  // A failed query leaves 0: no answer.
  WinHttpQueryHeaders(response.request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                      WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX);
  response.status = status;
  return response;
}

bool endedEarly(HINTERNET request, uint64_t received) {
  uint64_t declared = 0;
  return declaredLength(request, declared) && received < declared;
}

}  // namespace velm
