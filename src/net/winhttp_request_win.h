// What both WinHTTP downloads share: the handle owner, the URL split, one GET up to its status,
// and the check for a body that ended before its declared length.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <string>
#include <utility>

namespace velm {

// Move-only owner of one HINTERNET.
class InternetHandle {
 public:
  explicit InternetHandle(HINTERNET handle = nullptr) : handle_(handle) {}
  ~InternetHandle() { reset(); }
  InternetHandle(InternetHandle&& other) noexcept
      : handle_(std::exchange(other.handle_, nullptr)) {}
  InternetHandle& operator=(InternetHandle&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;

  HINTERNET get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  void reset() {
    if (handle_ != nullptr) WinHttpCloseHandle(handle_);
    handle_ = nullptr;
  }
  HINTERNET handle_;
};

struct RequestTarget {
  bool secure = false;
  INTERNET_PORT port = 0;
  std::wstring host;
  std::wstring path;  // path and query, never empty
};

// Splits an http or https URL with a host the way WinHTTP will use it; false for anything else.
// The fragment is never part of the request.
[[nodiscard]] bool crackRequestTarget(const std::string& url, RequestTarget& target);

// One GET up to its status. Members close in reverse order: the request before its connection.
struct Response {
  InternetHandle connection;
  InternetHandle request;
  bool answered = false;  // the response arrived; status is then what the query gave
  uint32_t status = 0;
};

Response sendGet(HINTERNET session, const RequestTarget& target, DWORD transferTimeoutMs);

// Wine's WinHTTP ends a body that the connection cut short as if it were complete: short of its
// declared Content-Length (when it is not chunked), a body is a broken transfer.
bool endedEarly(HINTERNET request, uint64_t received);

}  // namespace velm
