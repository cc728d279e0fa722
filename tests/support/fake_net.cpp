#include "support/fake_net.h"

#include <algorithm>

namespace velm {

void FakeNet::serve(std::string url, std::string body) {
  Reply reply;
  reply.body = std::move(body);
  replies_[std::move(url)] = std::move(reply);
}

void FakeNet::answer(std::string url, uint32_t status) {
  Reply reply;
  reply.status = status;
  replies_[std::move(url)] = std::move(reply);
}

void FakeNet::breakAfter(std::string url, size_t bytes) { replies_[std::move(url)].breakAt = bytes; }

uint32_t FakeNet::get(const std::string& url, ByteSink& sink, const RequestOptions& options) {
  requested.push_back(url);
  timeouts.push_back(options.transferTimeoutMs);
  auto found = replies_.find(url);
  if (found == replies_.end()) return 404;
  const Reply& reply = found->second;
  if (reply.status != 200) return reply.status;
  size_t end = std::min(reply.body.size(), reply.breakAt);
  for (size_t at = 0; at < end; at += chunkSize) {
    if (!sink(reply.body.data() + at, std::min(chunkSize, end - at))) return 200;
  }
  return reply.breakAt != SIZE_MAX ? 0 : 200;
}

}  // namespace velm
