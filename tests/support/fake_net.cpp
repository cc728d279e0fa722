#include "support/fake_net.h"

#include <algorithm>

namespace velm {

void FakeNet::serve(std::string url, std::string body) {
  std::lock_guard<std::mutex> lock(mutex_);
  Reply reply;
  reply.body = std::move(body);
  replies_[std::move(url)] = std::move(reply);
}

void FakeNet::answer(std::string url, uint32_t status) {
  std::lock_guard<std::mutex> lock(mutex_);
  Reply reply;
  reply.status = status;
  replies_[std::move(url)] = std::move(reply);
}

void FakeNet::breakAfter(std::string url, size_t bytes, size_t times) {
  std::lock_guard<std::mutex> lock(mutex_);
  Reply& reply = replies_[std::move(url)];
  reply.breakAt = bytes;
  reply.breaksLeft = times;
}

void FakeNet::reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  replies_.clear();
  requested.clear();
  timeouts.clear();
  firstBytes.clear();
  lastBytes.clear();
  sent.clear();
}

void FakeNet::ignoreRange(std::string url) {
  std::lock_guard<std::mutex> lock(mutex_);
  replies_[std::move(url)].ranges = false;
}

uint32_t FakeNet::get(const std::string& url, ByteSink& sink, const RequestOptions& options) {
  if (onRequest) onRequest(url);
  Reply reply;
  bool cut = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requested.push_back(url);
    timeouts.push_back(options.transferTimeoutMs);
    firstBytes.push_back(options.firstByte);
    lastBytes.push_back(options.lastByte);
    auto found = replies_.find(url);
    if (found == replies_.end()) return 404;
    reply = found->second;
    cut = found->second.breakAt != SIZE_MAX && found->second.breaksLeft > 0;
    if (cut && found->second.breaksLeft != SIZE_MAX) --found->second.breaksLeft;
  }
  if (reply.status != 200) return reply.status;
  const bool partial =
      (options.firstByte > 0 || options.lastByte != RequestOptions::kToTheEnd) && reply.ranges;
  // A range from the end on asks for nothing that exists, as a server judges it.
  if (partial && options.firstByte >= reply.body.size()) {
    if (options.onRangeNotSatisfiable) options.onRangeNotSatisfiable(reply.body.size());
    return 416;
  }
  const uint32_t status = partial ? 206 : 200;
  if (options.onBody) options.onBody(status);
  const size_t start = partial ? static_cast<size_t>(options.firstByte) : 0;
  // A range with an end stops there, or at the body's end before it.
  const size_t stop = partial && options.lastByte < reply.body.size()
                          ? static_cast<size_t>(options.lastByte) + 1
                          : reply.body.size();
  const size_t end = cut ? std::max(start, std::min(stop, reply.breakAt)) : stop;
  for (size_t at = start; at < end; at += chunkSize) {
    const size_t length = std::min(chunkSize, end - at);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      sent[url] += length;
    }
    if (!sink(reply.body.data() + at, length)) return status;
  }
  return cut ? 0 : status;
}

}  // namespace velm
