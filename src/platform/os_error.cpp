#include "platform/os_error.h"

#include "text/text.h"

namespace velm {

std::string errorCodeText(uint32_t code) { return "error " + decimalText(code); }

}  // namespace velm
