#include "net/net.h"

namespace velm {

uint32_t NoNet::get(const std::string&, ByteSink&, const RequestOptions&) { return 0; }

uint32_t getText(Net& net, const std::string& url, std::string& text) {
  text.clear();
  bool tooLarge = false;
  ByteSink sink = [&text, &tooLarge](const char* data, size_t length) {
    if (length > kMaxTextBody - text.size()) {
      tooLarge = true;
      return false;
    }
    text.append(data, length);
    return true;
  };
  RequestOptions options;
  options.document = true;
  uint32_t status = net.get(url, sink, options);
  if (tooLarge) {
    text.clear();
    text.shrink_to_fit();
    return 0;
  }
  return status;
}

}  // namespace velm
