#include "os/name_compare.h"

#include <locale.h>
#include <wctype.h>

#include "text/ascii.h"
#include "text/text.h"

namespace velm {
namespace {

// One unit per byte, ASCII letters lower-cased: equal keys are equal names but for ASCII case.
std::wstring asciiKey(const std::string& name) {
  const std::string lower = toLowerAscii(name);
  std::wstring key(lower.size(), L'\0');
  for (size_t i = 0; i < lower.size(); ++i) key[i] = static_cast<unsigned char>(lower[i]);
  return key;
}

// Every character upper-cased by the Unicode table.
std::wstring unicodeKey(const std::string& name) {
  // Built once and kept for the process, as the C library's own locales are.
  static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  if (unicode == static_cast<locale_t>(0)) return asciiKey(name);
  std::wstring key = utf8ToWide(name);
  for (wchar_t& c : key) c = static_cast<wchar_t>(towupper_l(static_cast<wint_t>(c), unicode));
  return key;
}

int compareKeys(const std::wstring& a, const std::wstring& b) { return a.compare(b); }

}  // namespace

NameOrder fileNameOrder() { return NameOrder{asciiKey, compareKeys}; }

NameOrder fileNameOrderOnWindows() { return NameOrder{unicodeKey, compareKeys}; }

bool sameFileName(const std::string& a, const std::string& b) { return fileNameOrder().same(a, b); }

bool sameFileNameOnWindows(const std::string& a, const std::string& b) {
  return fileNameOrderOnWindows().same(a, b);
}

}  // namespace velm
