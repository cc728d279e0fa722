// The POSIX port's Net: libcurl set up to behave like WinHTTP's defaults on Windows.
#include "net/net_curl.h"

#include <curl/curl.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <exception>

#include "text/text.h"

namespace velm {
namespace {

constexpr long kConnectTimeoutMs = 3000;  // name resolution, TCP and TLS together
constexpr long kMaxRedirects = 10;        // WinHTTP's default
constexpr size_t kMaxChunk = 65536;

using Clock = std::chrono::steady_clock;

// What one transfer has seen so far; the callbacks share it through their user pointer.
struct Transfer {
  Transfer(CURL* handle, ByteSink& out, uint32_t stallMs)
      : curl(handle), sink(out), stallLimit(std::chrono::milliseconds(stallMs)) {}

  CURL* curl;
  ByteSink& sink;
  Clock::duration stallLimit;
  Clock::time_point lastByte = Clock::now();
  uint32_t stoppedWith = 0;   // the status to answer when a callback ended the transfer
  std::exception_ptr thrown;  // from the sink, rethrown once curl has returned

  long responseCode() const {
    long code = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    return code;
  }
};

// At the blank line that ends each header block, a final answer other than 200 ends the
// transfer before its body, as WinHTTP's callers never see one. A 3xx goes on: curl follows
// it, or its body is discarded below.
size_t onHeader(char* data, size_t size, size_t count, void* user) {
  Transfer& transfer = *static_cast<Transfer*>(user);
  const size_t length = size * count;
  transfer.lastByte = Clock::now();
  const bool endOfHeaders =
      (length == 2 && data[0] == '\r' && data[1] == '\n') || (length == 1 && data[0] == '\n');
  if (!endOfHeaders) return length;
  const long code = transfer.responseCode();
  if (code < 200 || code == 200 || (code >= 300 && code < 400)) return length;
  transfer.stoppedWith = static_cast<uint32_t>(code);
  return 0;
}

size_t onBody(char* data, size_t size, size_t count, void* user) {
  Transfer& transfer = *static_cast<Transfer*>(user);
  const size_t length = size * count;
  transfer.lastByte = Clock::now();
  if (transfer.responseCode() != 200) return length;  // the body of a redirect
  // An exception must not unwind through libcurl's C frames: it waits until perform returns.
  try {
    for (size_t offset = 0; offset < length; offset += kMaxChunk) {
      if (!transfer.sink(data + offset, std::min(kMaxChunk, length - offset))) {
        transfer.stoppedWith = 200;
        return 0;
      }
    }
  } catch (...) {
    transfer.thrown = std::current_exception();
    return 0;
  }
  return length;
}

// No byte from the server for the whole limit fails the transfer, like WinHTTP's receive
// time-out (where 0 means no limit). curl calls this at least once a second while it waits.
int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const Transfer& transfer = *static_cast<Transfer*>(user);
  if (transfer.stallLimit == Clock::duration::zero()) return 0;
  return Clock::now() - transfer.lastByte > transfer.stallLimit ? 1 : 0;
}

// Every connection is close-on-exec from birth: the one kept alive between requests must not
// leak into the game or co-op launcher started meanwhile (and hold the server's connection open
// for as long as the game runs).
curl_socket_t openSocket(void*, curlsocktype, curl_sockaddr* address) {
  return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

// libcurl 7.88 (Debian 12) also opens a socket pair of its own in the first transfer, to wake its
// poll, without close-on-exec and with no hook to set it. Every socket of the launcher is its
// Net's, so after each transfer any that lacks the flag gets it.
void keepSocketsFromChildren() {
  DIR* folder = opendir("/proc/self/fd");
  if (folder == nullptr) return;
  const int own = dirfd(folder);
  while (const dirent* entry = readdir(folder)) {
    const int fd = std::atoi(entry->d_name);  // "." and ".." read as 0
    struct stat info;
    if (fd <= 2 || fd == own || fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode)) continue;
    const int flags = fcntl(fd, F_GETFD);
    if (flags != -1 && (flags & FD_CLOEXEC) == 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
  }
  closedir(folder);
}

CURL* openHandle(const std::string& userAgent) {
  // Process-wide and never undone: the handle lives for the whole run.
  static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  if (!ready) return nullptr;
  CURL* curl = curl_easy_init();
  if (curl == nullptr) return nullptr;
  curl_easy_setopt(curl, CURLOPT_USERAGENT, userAgent.c_str());  // curl keeps a copy
  curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
  // TLS 1.2 at least, whatever the machine's OpenSSL configuration would allow, as on Windows;
  // a proxy spoken to over TLS gets the same floor.
  curl_easy_setopt(curl, CURLOPT_SSLVERSION, CURL_SSLVERSION_TLSv1_2);
  curl_easy_setopt(curl, CURLOPT_PROXY_SSLVERSION, CURL_SSLVERSION_TLSv1_2);
  curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, openSocket);
  curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, static_cast<long>(kMaxChunk));
  // Only the origin's own answers reach the header callback, not a proxy's CONNECT reply.
  curl_easy_setopt(curl, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, onHeader);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, onBody);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, onProgress);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
#if LIBCURL_VERSION_NUM >= 0x075500
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
#else
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
  return curl;
}

// Redirects keep WinHTTP's policy: anything but a step down from https to http.
void allowRedirects(CURL* curl, bool secure) {
#if LIBCURL_VERSION_NUM >= 0x075500
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
#else
  const long http = secure ? 0 : CURLPROTO_HTTP;
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS, http | CURLPROTO_HTTPS);
#endif
}

}  // namespace

CurlNet::CurlNet(const std::string& userAgent, uint32_t timeoutMs)
    : handle_(openHandle(userAgent)), timeoutMs_(timeoutMs) {}

void CurlNet::EasyTraits::close(void* handle) { curl_easy_cleanup(static_cast<CURL*>(handle)); }

uint32_t CurlNet::get(const std::string& url, ByteSink& sink, const RequestOptions& options) {
  CURL* curl = static_cast<CURL*>(handle_.get());
  if (curl == nullptr) return 0;
  // curl reads up to the first NUL, so a URL with one inside would name another resource.
  if (url.find('\0') != std::string::npos) return 0;
  // curl would guess a scheme for "host/path"; WinHTTP's cracker rejects it, and so do we.
  const bool secure = startsWithNoCase(url, "https://");
  if (!secure && !startsWithNoCase(url, "http://")) return 0;
  // The fragment belongs to the client and has no place in a request.
  const std::string target = url.substr(0, url.find('#'));

  Transfer transfer(curl, sink,
                    options.transferTimeoutMs != 0 ? options.transferTimeoutMs : timeoutMs_);
  curl_easy_setopt(curl, CURLOPT_URL, target.c_str());
  allowRedirects(curl, secure);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
  const CURLcode result = curl_easy_perform(curl);
  keepSocketsFromChildren();
  if (transfer.thrown) std::rethrow_exception(transfer.thrown);

  if (transfer.stoppedWith != 0) return transfer.stoppedWith;
  if (result != CURLE_OK) return 0;
  const long code = transfer.responseCode();
  return code > 0 ? static_cast<uint32_t>(code) : 0;
}

std::unique_ptr<Net> makeSystemNet(uint32_t timeoutMs) {
  return std::make_unique<CurlNet>(kUserAgent, timeoutMs);
}

}  // namespace velm
