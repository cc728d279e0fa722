#include "net/net_winhttp.h"
#include "platform_net.h"

namespace velm {

std::unique_ptr<Net> makePlatformNet(uint32_t timeoutMs) {
  return std::make_unique<WinHttpNet>(L"VelmCoop/1", timeoutMs);
}

}  // namespace velm
