// The launcher's only road to the network: one HTTP GET that streams the body into a sink.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace velm {

// Called once per body chunk, in order; returning false stops the transfer.
using ByteSink = std::function<bool(const char* data, size_t length)>;

class Net {
 public:
  virtual ~Net() = default;
  // Streams the body of a 200 into the sink; returns the HTTP status, 0 for no answer (also when
  // reading the body failed). No body is delivered after any other status. A false from the sink
  // ends the transfer and keeps the status.
  virtual uint32_t get(const std::string& url, ByteSink& sink) = 0;
};

// Offline mode: every request answers "no answer" at once.
class NoNet final : public Net {
 public:
  uint32_t get(const std::string& url, ByteSink& sink) override;
};

// Bodies that getText collects are documents (catalogue, manifest, signatures); anything larger
// is treated as no answer so a hostile server cannot exhaust memory.
inline constexpr size_t kMaxTextBody = 16777216;

// Collects a whole body into text. A body past kMaxTextBody empties the text and gives 0.
uint32_t getText(Net& net, const std::string& url, std::string& text);

}  // namespace velm
