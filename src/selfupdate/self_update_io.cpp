#include "selfupdate/self_update_io.h"

#include "platform/os_error.h"
#include "text/text.h"

namespace velm {

std::string moveFailedLine(const std::wstring& source, const std::wstring& target, uint32_t code) {
  return "self-update: could not move " + wideToUtf8(source) + " to " + wideToUtf8(target) + " (" +
         errorCodeText(code) + ")";
}

std::string startFailedLine(uint32_t code) {
  return "self-update: the new exe would not start (" + errorCodeText(code) + ")";
}

std::string fileNameOf(const std::wstring& path) {
  const size_t separator = path.find_last_of(L"\\/");
  return wideToUtf8(separator == std::wstring::npos ? path : path.substr(separator + 1));
}

}  // namespace velm
