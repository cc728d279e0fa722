// The Windows Net: synchronous WinHTTP with the player's proxy, TLS 1.2 or later, and WinHTTP's
// redirect defaults.
#include "net/net_winhttp.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <string>
#include <vector>

#include "net/content_range.h"
#include "net/transfer_pace.h"
#include "os/unique_handle.h"
#include "text/text.h"

namespace velm {
namespace {

constexpr DWORD kResolveTimeoutMs = 3000;
constexpr DWORD kConnectTimeoutMs = 3000;
constexpr DWORD kReadSize = 65536;

using Clock = TransferPace::Clock;

struct InternetTraits {
  using Handle = HINTERNET;
  static HINTERNET none() { return nullptr; }
  static void close(HINTERNET handle) { WinHttpCloseHandle(handle); }
};
using InternetHandle = UniqueHandle<InternetTraits>;

// The strings WinHTTP allocates for its caller, freed with GlobalFree.
struct GlobalTextTraits {
  using Handle = wchar_t*;
  static wchar_t* none() { return nullptr; }
  static void close(wchar_t* text) { GlobalFree(text); }
};
using GlobalText = UniqueHandle<GlobalTextTraits>;

std::wstring textOf(const GlobalText& text) { return text ? std::wstring(text.get()) : L""; }

// TLS 1.2 and 1.3, or 1.2 alone where the system does not know 1.3. A session that cannot be held
// to 1.2 (Windows 7 without the update that taught WinHTTP 1.2) is not used at all: its requests
// fail like an unreachable server, and the launcher starts what is installed, rather than fetch
// signed files over TLS 1.0.
bool holdTlsFloor(HINTERNET session) {
  constexpr DWORD kChoices[] = {
      WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3,
      WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2};
  for (DWORD protocols : kChoices) {
    if (WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols))) {
      return true;
    }
  }
  return false;
}

// A session with the given proxy policy, held to the TLS floor; none when either fails.
HINTERNET openSession(const std::wstring& userAgent, DWORD access, const wchar_t* proxy = nullptr,
                      const wchar_t* bypass = nullptr) {
  InternetHandle session(WinHttpOpen(userAgent.c_str(), access, proxy, bypass, 0));
  if (!session || !holdTlsFloor(session.get())) return nullptr;
  return session.release();
}

// Wine (8.0) accepts WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY and then connects directly, ignoring
// the per-user settings that Windows honours. It is told apart by ntdll's own export.
bool runsOnWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

struct RequestTarget {
  std::wstring url;  // without the fragment
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
  target.url = utf8ToWide(url.substr(0, url.find('#')));
  const std::wstring& wide = target.url;

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

// A time-out of at most most ms (0: none) that also ends the wait when the pace runs out.
DWORD waitLimit(const TransferPace& pace, DWORD most) {
  const Clock::duration left = pace.left(Clock::now());
  if (left == TransferPace::kNoLimit) return most;
  // WinHttpSetTimeouts takes an int, where 0 would mean no limit at all.
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  const DWORD wait = static_cast<DWORD>(std::clamp<decltype(ms)>(ms, 1, INT_MAX));
  return most == 0 ? wait : std::min(most, wait);
}

// The request's next waits end when the pace runs out: the receive time-out is what the stall
// time and deadline leave. (Wine puts a new time-out on the connection's socket at once.)
void limitWaits(HINTERNET request, const TransferPace& pace) {
  const int wait = static_cast<int>(waitLimit(pace, 0));
  WinHttpSetTimeouts(request, static_cast<int>(waitLimit(pace, kResolveTimeoutMs)),
                     static_cast<int>(waitLimit(pace, kConnectTimeoutMs)), wait, wait);
}

bool asksRange(const RequestOptions& options) {
  return options.firstByte > 0 || options.lastByte != RequestOptions::kToTheEnd;
}

// The Range header of a request for a part of the body; empty for the whole body.
std::wstring rangeHeader(const RequestOptions& options) {
  if (!asksRange(options)) return std::wstring();
  std::wstring range = L"Range: bytes=" + utf8ToWide(decimalText(options.firstByte)) + L"-";
  if (options.lastByte != RequestOptions::kToTheEnd) {
    range += utf8ToWide(decimalText(options.lastByte));
  }
  return range;
}

// A GET, with a Range header when the options ask for a part of the body.
Response sendGet(HINTERNET session, const RequestTarget& target, const TransferPace& pace,
                 const RequestOptions& options) {
  Response response;
  response.connection.reset(WinHttpConnect(session, target.host.c_str(), target.port, 0));
  if (!response.connection) return response;
  response.request.reset(WinHttpOpenRequest(
      response.connection.get(), L"GET", target.path.c_str(), nullptr, WINHTTP_NO_REFERER,
      WINHTTP_DEFAULT_ACCEPT_TYPES, target.secure ? WINHTTP_FLAG_SECURE : 0));
  if (!response.request) return response;
  limitWaits(response.request.get(), pace);
  // Windows holds the whole head to this (Wine each read of it).
  DWORD headWait = waitLimit(pace, 0);
  WinHttpSetOption(response.request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headWait,
                   sizeof(headWait));
  // HTTP/2 where the system has it (Windows 10 1607 and later) and the server offers it. Older
  // systems refuse the option; Wine (8.0) takes it and speaks HTTP/1.1 all the same.
  DWORD protocols = WINHTTP_PROTOCOL_FLAG_HTTP2;
  WinHttpSetOption(response.request.get(), WINHTTP_OPTION_ENABLE_HTTP_PROTOCOL, &protocols,
                   sizeof(protocols));
  const std::wstring range = rangeHeader(options);
  if (!WinHttpSendRequest(response.request.get(),
                          range.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : range.c_str(),
                          static_cast<DWORD>(range.size()), WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
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
  return parseDecimal(wideToUtf8(std::wstring(text, size / sizeof(wchar_t))), UINT64_MAX, length);
}

// The answer's Content-Range when it has exactly one.
bool oneContentRange(HINTERNET request, std::string& range) {
  wchar_t text[128];
  DWORD size = sizeof(text);
  DWORD index = 0;
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_RANGE, WINHTTP_HEADER_NAME_BY_INDEX, text,
                           &size, &index)) {
    return false;
  }
  const std::wstring value(text, size / sizeof(wchar_t));
  DWORD secondSize = sizeof(text);  // index now names the next one
  if (WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_RANGE, WINHTTP_HEADER_NAME_BY_INDEX, text,
                          &secondSize, &index) ||
      GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    return false;
  }
  range = wideToUtf8(value);
  return true;
}

// Whether a 206 carries the part of the body asked for: one Content-Range, and it begins at
// firstByte (and ends at lastByte, or at the body's end before it).
bool answersRange(HINTERNET request, const RequestOptions& options) {
  std::string range;
  return asksRange(options) && oneContentRange(request, range) &&
         contentRangeAnswers(range, options.firstByte, options.lastByte);
}

// Wine's WinHTTP ends a body that the connection cut short as if it were complete: short of its
// declared Content-Length (when it is not chunked), a body is a broken transfer.
bool endedEarly(HINTERNET request, uint64_t received) {
  uint64_t declared = 0;
  return declaredLength(request, declared) && received < declared;
}

// The size of the answer's head, which counts for the pace as its body does.
uint64_t headSize(HINTERNET request) {
  DWORD size = 0;
  WinHttpQueryHeaders(request, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                      WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX);
  return size / sizeof(wchar_t);
}

}  // namespace

WinHttpNet::WinHttpNet(const std::wstring& userAgent, uint32_t timeoutMs,
                       uint32_t documentDeadlineMs)
    : userAgent_(userAgent), timeoutMs_(timeoutMs), documentDeadlineMs_(documentDeadlineMs) {
  // Windows 8.1 and later resolve each request's proxy as the player's browser does: the
  // per-user settings with their proxy script or its search (WPAD), then the machine's.
  if (!runsOnWine()) {
    InternetHandle automatic(WinHttpOpen(userAgent_.c_str(), WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                         WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (automatic) {
      systemProxy_ = true;
      if (holdTlsFloor(automatic.get())) automatic_.reset(automatic.release());
      return;
    }
  }
  // Older Windows (and Wine) get the same resolution here. The session of the machine-wide
  // setting also runs the proxy script searches, which need one.
  machineDefault_.reset(openSession(userAgent_, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY));
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG settings = {};
  if (WinHttpGetIEProxyConfigForCurrentUser(&settings)) {
    const GlobalText autoConfigUrl(settings.lpszAutoConfigUrl);
    const GlobalText proxy(settings.lpszProxy);
    const GlobalText bypass(settings.lpszProxyBypass);
    userProxy_.autoDetect = settings.fAutoDetect != FALSE;
    userProxy_.autoConfigUrl = textOf(autoConfigUrl);
    userProxy_.proxy = textOf(proxy);
    userProxy_.bypass = textOf(bypass);
  }
}

void WinHttpNet::SessionTraits::close(void* handle) { WinHttpCloseHandle(handle); }

void* WinHttpNet::sessionFor(const std::wstring& url) {
  if (systemProxy_) return automatic_.get();
  if (!machineDefault_) return nullptr;

  const bool searches = userProxy_.autoDetect || !userProxy_.autoConfigUrl.empty();
  // One search at a time: the requests that wait for one that fails then skip it, as later ones do.
  std::unique_lock<std::mutex> searching(search_, std::defer_lock);
  if (searches) searching.lock();
  if (searches && !scriptFailed_) {
    WINHTTP_AUTOPROXY_OPTIONS search = {};
    if (userProxy_.autoDetect) {
      search.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
      search.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    if (!userProxy_.autoConfigUrl.empty()) {
      search.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
      search.lpszAutoConfigUrl = userProxy_.autoConfigUrl.c_str();
    }
    WINHTTP_PROXY_INFO found = {};
    bool ok = WinHttpGetProxyForUrl(machineDefault_.get(), url.c_str(), &search, &found);
    if (!ok && GetLastError() == ERROR_WINHTTP_LOGIN_FAILURE) {
      // The script's server asks who we are: the player's domain logon goes only then.
      search.fAutoLogonIfChallenged = TRUE;
      ok = WinHttpGetProxyForUrl(machineDefault_.get(), url.c_str(), &search, &found);
    }
    if (ok) {
      const GlobalText proxy(found.lpszProxy);
      const GlobalText bypass(found.lpszProxyBypass);
      if (found.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && proxy) {
        return namedProxySession(textOf(proxy), textOf(bypass));
      }
      return directSession();
    }
    // No script, or one that would not run: the fixed settings stand, as they do for Windows's
    // own resolution. A search that failed once (it may take seconds) fails for the whole run.
    scriptFailed_ = true;
  }
  if (!userProxy_.proxy.empty()) return namedProxySession(userProxy_.proxy, userProxy_.bypass);
  return machineDefault_.get();
}

// Each proxy gets a session of its own rather than WINHTTP_OPTION_PROXY on the request, which
// Wine ignores; the session also keeps its tunnels for the next request.
void* WinHttpNet::namedProxySession(const std::wstring& proxy, const std::wstring& bypass) {
  const std::lock_guard<std::mutex> lock(sessions_);
  Session& session = named_[proxy + L'\n' + bypass];
  if (!session) {
    session.reset(openSession(userAgent_, WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxy.c_str(),
                              bypass.empty() ? WINHTTP_NO_PROXY_BYPASS : bypass.c_str()));
  }
  return session.get();
}

void* WinHttpNet::directSession() {
  const std::lock_guard<std::mutex> lock(sessions_);
  if (!direct_) direct_.reset(openSession(userAgent_, WINHTTP_ACCESS_TYPE_NO_PROXY));
  return direct_.get();
}

uint32_t WinHttpNet::get(const std::string& url, ByteSink& sink, const RequestOptions& options) {
  RequestTarget target;
  if (!crackRequestTarget(url, target)) return 0;
  TransferPace pace(options.transferTimeoutMs != 0 ? options.transferTimeoutMs : timeoutMs_,
                    options.document ? documentDeadlineMs_ : 0, Clock::now());
  HINTERNET session = sessionFor(target.url);
  if (session == nullptr) return 0;
  Response response = sendGet(session, target, pace, options);
  if (response.status == 0 || pace.over(Clock::now())) return 0;
  pace.arrived(headSize(response.request.get()), Clock::now());
  if (response.status == 206) {
    // A body that is not the part asked for could not be placed: no answer.
    if (!answersRange(response.request.get(), options)) return 0;
  } else if (response.status != 200) {
    std::string range;
    uint64_t length = 0;
    if (response.status == 416 && options.firstByte > 0 && options.onRangeNotSatisfiable &&
        oneContentRange(response.request.get(), range) && unsatisfiedRangeLength(range, length)) {
      options.onRangeNotSatisfiable(length);
    }
    return response.status;
  }
  if (options.onBody) options.onBody(response.status);

  // One buffer for the whole body, so a file of any size streams with constant memory.
  std::vector<char> buffer(kReadSize, '\0');
  uint64_t received = 0;
  HINTERNET request = response.request.get();
  DWORD receiveWait = 0;  // as last set here
  for (;;) {
    // Only what has arrived is read: a read for more waits until it has all of it (Wine's waits
    // for a whole buffer, each byte within the receive time-out), however slowly it comes.
    if (pace.over(Clock::now())) return 0;
    // Set again once the pace has gained time (a KiB came) or lost a second: Wine spends a call
    // to its server on each.
    const DWORD wait = waitLimit(pace, 0);
    if (wait > receiveWait || wait + 1000 < receiveWait) {
      limitWaits(request, pace);
      receiveWait = wait;
    }
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(request, &available)) return 0;
    if (available == 0) break;
    DWORD count = 0;
    if (!WinHttpReadData(request, buffer.data(), std::min(available, kReadSize), &count)) return 0;
    if (count == 0) break;
    pace.arrived(count, Clock::now());
    received += count;
    // A stop from the sink keeps the status: the caller knows why it stopped.
    if (!sink(buffer.data(), count)) return response.status;
  }
  if (endedEarly(request, received)) return 0;
  return response.status;
}

std::unique_ptr<Net> makeSystemNet(uint32_t timeoutMs, uint32_t documentDeadlineMs) {
  return std::make_unique<WinHttpNet>(utf8ToWide(kUserAgent), timeoutMs, documentDeadlineMs);
}

}  // namespace velm
