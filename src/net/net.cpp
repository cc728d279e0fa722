#include "net/net.h"

#include <exception>
#include <system_error>
#include <thread>

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

TextPair getTextPair(Net& net, const std::string& firstUrl, const std::string& secondUrl) {
  TextPair pair;
  std::exception_ptr thrown;
  std::thread second;
  try {
    if (net.maxInFlight() > kMaxTransfers) {
      second = std::thread([&] {
        try {
          pair.secondStatus = getText(net, secondUrl, pair.second);
        } catch (...) {
          thrown = std::current_exception();
        }
      });
    }
  } catch (const std::system_error&) {
    // No thread: the two come one after the other, below.
  }
  try {
    pair.firstStatus = getText(net, firstUrl, pair.first);
  } catch (...) {
    if (second.joinable()) second.join();
    throw;
  }
  if (second.joinable()) {
    second.join();
  } else if (pair.firstStatus == 200) {
    pair.secondStatus = getText(net, secondUrl, pair.second);
  }
  if (thrown) std::rethrow_exception(thrown);
  return pair;
}

}  // namespace velm
