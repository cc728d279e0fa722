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
// The send and receive time-out of the launcher's requests, and their stall time: a transfer
// that brings fewer than kStallBytes (net/transfer_pace.h) within it fails like a time-out.
inline constexpr uint32_t kTransferTimeoutMs = 30000;
// The longest a document (getText) may take from its request to its last byte, however steadily
// it arrives: a server that keeps one coming must not hold the launcher up for good.
inline constexpr uint32_t kDocumentDeadlineMs = 60000;
// Requests a Net carries at once, from as many threads, where each takes a connection of its
// own (HTTP/1.1): the files of a package in flight.
inline constexpr size_t kMaxTransfers = 8;
// The most a Net keeps in flight where its connection multiplexes them (HTTP/2); the server's
// own limit on streams holds within it. Each costs a thread and its transfer's memory, about
// 30 KiB: 32 fetch 300 small files in about 10 round trips, and keep an install's peak under
// 16 MiB.
inline constexpr size_t kMaxStreams = 32;

// Called once per body chunk, in order; returning false stops the transfer.
using ByteSink = std::function<bool(const char* data, size_t length)>;

// What one request may ask beyond its URL.
struct RequestOptions {
  static constexpr uint64_t kToTheEnd = UINT64_MAX;
  // Send and receive time-out and stall time in milliseconds; 0 keeps the Net's own.
  uint32_t transferTimeoutMs = 0;
  // A document is small: it must come whole within the Net's document deadline. Anything else
  // (a package file of any size) has only the stall time.
  bool document = false;
  // Asks for the body from this byte on ("Range: bytes=N-"), to continue a cut transfer; 0
  // asks for all of it.
  uint64_t firstByte = 0;
  // With firstByte, asks for the bytes up to this one, included ("Range: bytes=N-M"): a part of
  // the body. kToTheEnd asks for all that follows firstByte.
  uint64_t lastByte = kToTheEnd;
  // Hears the status of an answer whose body follows, before its first chunk: 200 (the body
  // from byte 0, also when a range was asked for) or 206 (the body from firstByte, through
  // lastByte when that was asked for).
  std::function<void(uint32_t status)> onBody;
  // Hears the whole body's length from a 416 to a request from firstByte (its Content-Range,
  // "bytes */LENGTH"), before get returns the 416.
  std::function<void(uint64_t length)> onRangeNotSatisfiable;
};

class Net {
 public:
  virtual ~Net() = default;
  // Streams the body of a 200 into the sink, or of a 206 that answers the range the options ask
  // for (its Content-Range begins at firstByte and ends at lastByte, or at the body's last byte
  // before it); returns the HTTP status, 0 for no answer (also when reading the body failed,
  // and for a 206 that answers anything else). No body is delivered after any
  // other status. A false from the sink ends the transfer and keeps the status. Several threads
  // may call it at once; each call is its own request.
  virtual uint32_t get(const std::string& url, ByteSink& sink, const RequestOptions& options) = 0;
  uint32_t get(const std::string& url, ByteSink& sink) { return get(url, sink, RequestOptions()); }
  // How many requests are worth keeping in flight now: more only wait their turn inside the Net.
  // It may grow once a connection is made and turns out to multiplex; any thread may ask.
  virtual size_t maxInFlight() { return kMaxTransfers; }
};

// Offline mode: every request answers "no answer" at once.
class NoNet final : public Net {
 public:
  using Net::get;
  uint32_t get(const std::string& url, ByteSink& sink, const RequestOptions& options) override;
};

// The platform's Net (WinHTTP on Windows, libcurl on the POSIX port) with the launcher's user
// agent, timeoutMs as its send and receive time-out and stall time, and documentDeadlineMs as
// the longest a document may take.
std::unique_ptr<Net> makeSystemNet(uint32_t timeoutMs,
                                   uint32_t documentDeadlineMs = kDocumentDeadlineMs);

// Bodies that getText collects are documents (catalogue, manifest, signatures); anything larger
// is treated as no answer so a hostile server cannot exhaust memory.
inline constexpr size_t kMaxTextBody = 16777216;

// Collects a whole document into text. A body past kMaxTextBody empties the text and gives 0,
// and so does one that takes longer than the Net's document deadline.
uint32_t getText(Net& net, const std::string& url, std::string& text);

// getText for a document and its signature, each with its own status. Where the Net multiplexes
// (maxInFlight() above kMaxTransfers) the two go at once, the second on a thread of its own, as
// another stream costs no round trip; elsewhere, or when no thread can be had, the second is
// fetched only after the first gave 200 (secondStatus stays 0 otherwise), as a second
// connection would cost its own handshake.
struct TextPair {
  uint32_t firstStatus = 0;
  std::string first;
  uint32_t secondStatus = 0;
  std::string second;
};
TextPair getTextPair(Net& net, const std::string& firstUrl, const std::string& secondUrl);

}  // namespace velm
