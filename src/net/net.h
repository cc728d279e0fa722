// The launcher's only road to the network: one HTTP GET that streams the body into a sink.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace velm {

// Sent with every request.
inline constexpr char kUserAgent[] = "VelmCoop/1";
// The send and receive time-out of the launcher's requests.
inline constexpr uint32_t kTransferTimeoutMs = 30000;

// Called once per body chunk, in order; returning false stops the transfer.
using ByteSink = std::function<bool(const char* data, size_t length)>;

// What one request may ask beyond its URL.
struct RequestOptions {
  // Send and receive time-out in milliseconds (the POSIX port: the longest wait for a byte);
  // 0 keeps the Net's own.
  uint32_t transferTimeoutMs = 0;
};

class Net {
 public:
  virtual ~Net() = default;
  // Streams the body of a 200 into the sink; returns the HTTP status, 0 for no answer (also when
  // reading the body failed). No body is delivered after any other status. A false from the sink
  // ends the transfer and keeps the status.
  virtual uint32_t get(const std::string& url, ByteSink& sink, const RequestOptions& options) = 0;
  uint32_t get(const std::string& url, ByteSink& sink) { return get(url, sink, RequestOptions()); }
};

// Offline mode: every request answers "no answer" at once.
class NoNet final : public Net {
 public:
  using Net::get;
  uint32_t get(const std::string& url, ByteSink& sink, const RequestOptions& options) override;
};

// The platform's Net (WinHTTP on Windows, libcurl on the POSIX port) with the launcher's user
// agent and timeoutMs as its send and receive time-out.
std::unique_ptr<Net> makeSystemNet(uint32_t timeoutMs);

// Bodies that getText collects are documents (catalogue, manifest, signatures); anything larger
// is treated as no answer so a hostile server cannot exhaust memory.
inline constexpr size_t kMaxTextBody = 16777216;

// Collects a whole body into text. A body past kMaxTextBody empties the text and gives 0.
uint32_t getText(Net& net, const std::string& url, std::string& text);

}  // namespace velm
