#include "os/name_compare.h"

#include <locale.h>
#include <wctype.h>

#include "text/ascii.h"
#include "text/text.h"

namespace velm {

bool sameFileName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && toLowerAscii(a) == toLowerAscii(b);
}

bool sameFileNameOnWindows(const std::string& a, const std::string& b) {
  // Built once and kept for the process, as the C library's own locales are.
  static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  if (unicode == static_cast<locale_t>(0)) return sameFileName(a, b);
  const std::wstring wideA = utf8ToWide(a);
  const std::wstring wideB = utf8ToWide(b);
  if (wideA.size() != wideB.size()) return false;
  for (size_t i = 0; i < wideA.size(); ++i) {
    if (towupper_l(static_cast<wint_t>(wideA[i]), unicode) !=
        towupper_l(static_cast<wint_t>(wideB[i]), unicode)) {
      return false;
    }
  }
  return true;
}

}  // namespace velm
