// isPlainFileName: a name from the server that passes must name one ordinary file directly in
// the folder it is joined to. Each of the rules is checked here as the rules state it, and the
// reason of a refusal must be the first rule the name breaks.
#include "catalogue/file_name.h"

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "text/ascii.h"

namespace velm {
namespace {

std::string lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  }
  return text;
}

// CON, AUX, COM1, LPT³ and the like, whatever follows the first dot and with blanks before it.
bool isDeviceName(const std::string& name) {
  std::string base = lower(name.substr(0, name.find('.')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (const char* device : {"con", "prn", "aux", "nul", "conin$", "conout$", "clock$"}) {
    if (base == device) return true;
  }
  if (base.size() < 4 || (base.compare(0, 3, "com") != 0 && base.compare(0, 3, "lpt") != 0)) {
    return false;
  }
  const std::string port = base.substr(3);
  return (port.size() == 1 && port[0] >= '1' && port[0] <= '9') || port == "\xC2\xB9" ||
         port == "\xC2\xB2" || port == "\xC2\xB3";
}

const char* byteReason(unsigned char byte) {
  if (byte == '/') return "contains /";
  if (byte == '\\') return "contains \\";
  if (byte == ':') return "contains :";
  if (byte < 0x20 || byte == 0x7F) return "contains a control character";
  if (std::string("<>\"|?*").find(static_cast<char>(byte)) != std::string::npos) {
    return "contains a character Windows does not allow (< > \" | ? *)";
  }
  return nullptr;
}

// The rules in their order; nullptr when the name passes all of them.
const char* expectedReason(const std::string& name) {
  if (name.empty()) return "is empty";
  size_t characters = 0;
  for (char c : name) characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  if (characters > 255) return "is longer than 255 characters";
  for (char c : name) {
    if (const char* reason = byteReason(static_cast<unsigned char>(c))) return reason;
  }
  if (name == "." || name == "..") return "is . or ..";
  if (name.find("..") != std::string::npos) return "contains ..";
  if (name.front() == ' ') return "starts with a space";
  if (name.back() == ' ') return "ends with a space";
  if (name.back() == '.') return "ends with .";
  if (isDeviceName(name)) return "is a Windows reserved device name";
  return nullptr;
}

}  // namespace
}  // namespace velm

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velm;
  const std::string name = fuzz::text(data, size);
  std::string reason = "untouched";
  const bool plain = isPlainFileName(name, &reason);
  const char* expected = expectedReason(name);

  VELM_FUZZ_CHECK(isPlainFileName(name, nullptr) == plain);
  if (plain) {
    // Nothing Windows would read as a path, a device, or alter by trimming dots and blanks.
    VELM_FUZZ_CHECK(expected == nullptr);
    VELM_FUZZ_CHECK(reason == "untouched");
    VELM_FUZZ_CHECK(name.find_first_of(std::string("/\\:\0", 4)) == std::string::npos);
    VELM_FUZZ_CHECK(name != "." && name != ".." && name.back() != '.' && name.back() != ' ');
    VELM_FUZZ_CHECK(!isReservedDeviceName(name));
  } else {
    VELM_FUZZ_CHECK(expected != nullptr && reason == expected);
  }

  // The device test sees through ASCII case, and agrees with the rules' own statement of it.
  VELM_FUZZ_CHECK(isReservedDeviceName(name) == isDeviceName(name));
  VELM_FUZZ_CHECK(isReservedDeviceName(toLowerAscii(name)) == isReservedDeviceName(name));

  // toLowerAscii changes A-Z only, byte for byte; endsWithExe is its suffix test.
  const std::string lowered = toLowerAscii(name);
  VELM_FUZZ_CHECK(lowered == lower(name));
  VELM_FUZZ_CHECK(endsWithExe(name) ==
                  (name.size() >= 4 && lowered.compare(name.size() - 4, 4, ".exe") == 0));
  return 0;
}
