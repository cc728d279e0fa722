#include "os/os_error.h"

#include "text/text.h"

namespace velm {

bool systemResult(bool ok, std::error_code& error) {
  if (ok) {
    error.clear();
  } else {
    error = lastError();
  }
  return ok;
}

std::string errorCodeText(uint32_t code) { return "error " + decimalText(code); }

}  // namespace velm
