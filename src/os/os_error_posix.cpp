#include "os/os_error.h"

#include <cerrno>

namespace velm {

uint32_t lastErrorCode() { return static_cast<uint32_t>(errno); }

std::error_code lastError() { return std::error_code(errno, std::generic_category()); }

std::error_code linkRefusedError() { return std::error_code(ELOOP, std::generic_category()); }

bool isHeldError(const std::error_code& error) {
  if (error.category() != std::generic_category() && error.category() != std::system_category()) {
    return false;
  }
  return error.value() == EBUSY || error.value() == ETXTBSY;
}

std::string systemErrorMessage(const std::error_code& error) {
  std::string text = error.message();
  while (!text.empty() && (text.back() == ' ' || text.back() == '\r' || text.back() == '\n' ||
                           text.back() == '\t')) {
    text.pop_back();
  }
  return text.empty() ? "unknown error" : text;
}

}  // namespace velm
