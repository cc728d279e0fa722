// The Windows Net over WinHTTP: sessions kept for the run, a connection handle per request, so
// requests from several threads share only the sessions.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "net/net.h"
#include "os/unique_handle.h"

namespace velm {

class WinHttpNet final : public Net {
 public:
  // A session that cannot be opened or held to TLS 1.2 is not reported: the requests that would
  // go through it answer 0. timeoutMs is the send and receive time-out and stall time of every
  // request, documentDeadlineMs the longest a document may take (0: no limit).
  WinHttpNet(const std::wstring& userAgent, uint32_t timeoutMs, uint32_t documentDeadlineMs);
  WinHttpNet(const WinHttpNet&) = delete;
  WinHttpNet& operator=(const WinHttpNet&) = delete;
  using Net::get;
  uint32_t get(const std::string& url, ByteSink& sink, const RequestOptions& options) override;

 private:
  // A session's HINTERNET, kept out of this header.
  struct SessionTraits {
    using Handle = void*;
    static void* none() { return nullptr; }
    static void close(void* handle);
  };
  using Session = UniqueHandle<SessionTraits>;

  // The player's own proxy settings (those of Internet Options), read once for the run.
  struct UserProxy {
    bool autoDetect = false;     // search the network for a proxy script (WPAD)
    std::wstring autoConfigUrl;  // the proxy script's address
    std::wstring proxy;          // a fixed proxy list, and the hosts that bypass it
    std::wstring bypass;
  };

  // The session a request for url goes through; none when it cannot hold TLS 1.2. Safe from
  // several threads at once.
  void* sessionFor(const std::wstring& url);
  void* namedProxySession(const std::wstring& proxy, const std::wstring& bypass);
  void* directSession();

  std::wstring userAgent_;
  uint32_t timeoutMs_;
  uint32_t documentDeadlineMs_;
  // Windows 8.1 and later find each request's proxy themselves, in this one session.
  bool systemProxy_ = false;
  Session automatic_;
  // Elsewhere the Net finds it from userProxy_ and takes the session that goes that way: the
  // machine-wide WinHTTP setting when the player has none, direct, or through a named proxy.
  UserProxy userProxy_;
  std::mutex search_;          // one proxy script search at a time, and scriptFailed_
  bool scriptFailed_ = false;  // no proxy script this run: not searched for again
  Session machineDefault_;
  std::mutex sessions_;  // direct_ and named_, opened by the first request that needs them
  Session direct_;
  std::map<std::wstring, Session> named_;  // by proxy list and bypass list
};

}  // namespace velm
