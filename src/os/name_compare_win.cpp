#include "os/name_compare.h"

#include <windows.h>

#include "text/text.h"

namespace velm {

bool sameFileName(const std::string& a, const std::string& b) {
  const std::wstring wideA = utf8ToWide(a);
  const std::wstring wideB = utf8ToWide(b);
  // NTFS folds case with its own upper-case table, which CompareStringOrdinal shares; the
  // locale-aware comparisons would also equate names the file system keeps apart.
  return CompareStringOrdinal(wideA.c_str(), static_cast<int>(wideA.size()), wideB.c_str(),
                              static_cast<int>(wideB.size()), TRUE) == CSTR_EQUAL;
}

bool sameFileNameOnWindows(const std::string& a, const std::string& b) {
  return sameFileName(a, b);
}

}  // namespace velm
