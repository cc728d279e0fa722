#include "net/net_curl.h"
#include "platform_net.h"

namespace velm {

std::unique_ptr<Net> makePlatformNet(uint32_t timeoutMs) {
  return std::make_unique<CurlNet>("VelmCoop/1", timeoutMs);
}

}  // namespace velm
