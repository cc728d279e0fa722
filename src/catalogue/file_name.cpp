#include "catalogue/file_name.h"

#include <cstddef>

#include "text/ascii.h"

namespace velm {
namespace {

constexpr size_t kMaxNameCharacters = 255;

// Characters, not bytes: UTF-8 continuation bytes (10xxxxxx) do not start a character.
size_t characterCount(const std::string& text) {
  size_t count = 0;
  for (char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
  }
  return count;
}

// The reason for the first byte that may not appear in a name, or nullptr when there is none.
const char* forbiddenByteReason(const std::string& name) {
  for (char c : name) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte == '/') return "contains /";
    if (byte == '\\') return "contains \\";
    if (byte == ':') return "contains :";
    if (byte < 0x20 || byte == 0x7F) return "contains a control character";
    switch (byte) {
      case '<':
      case '>':
      case '"':
      case '|':
      case '?':
      case '*':
        return "contains a character Windows does not allow (< > \" | ? *)";
      default:
        break;
    }
  }
  return nullptr;
}

// The rule that the name breaks first, or nullptr for a plain name.
const char* firstBrokenRule(const std::string& name) {
  if (name.empty()) return "is empty";
  if (characterCount(name) > kMaxNameCharacters) return "is longer than 255 characters";
  if (const char* reason = forbiddenByteReason(name)) return reason;
  if (name == "." || name == "..") return "is . or ..";
  if (name.find("..") != std::string::npos) return "contains ..";
  if (name.front() == ' ') return "starts with a space";
  if (name.back() == ' ') return "ends with a space";
  if (name.back() == '.') return "ends with .";
  if (isReservedDeviceName(name)) return "is a Windows reserved device name";
  return nullptr;
}

bool isNumberedDevice(const std::string& base) {
  if (base.compare(0, 3, "com") != 0 && base.compare(0, 3, "lpt") != 0) return false;
  const std::string suffix = base.substr(3);
  if (suffix.size() == 1) return suffix[0] >= '1' && suffix[0] <= '9';
  // Windows also treats the superscript digits one to three (U+00B9, U+00B2, U+00B3) as ports.
  return suffix == "\xC2\xB9" || suffix == "\xC2\xB2" || suffix == "\xC2\xB3";
}

}  // namespace

bool isPlainFileName(const std::string& name, std::string* reason) {
  const char* broken = firstBrokenRule(name);
  if (broken == nullptr) return true;
  if (reason != nullptr) *reason = broken;
  return false;
}

bool isReservedDeviceName(const std::string& name) {
  // Windows ignores the extension and blanks before it: "Con .txt" still opens the console.
  std::string base = toLowerAscii(name.substr(0, name.find('.')));
  const size_t end = base.find_last_not_of(' ');
  base.erase(end == std::string::npos ? 0 : end + 1);
  return base == "con" || base == "prn" || base == "aux" || base == "nul" || base == "conin$" ||
         base == "conout$" || base == "clock$" || isNumberedDevice(base);
}

bool endsWithExe(const std::string& name) { return endsWithNoCase(name, ".exe"); }

}  // namespace velm
