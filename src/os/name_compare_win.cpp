#include "os/name_compare.h"

#include <windows.h>

#include "text/text.h"

namespace velm {
namespace {

// NTFS folds case with its own upper-case table, which CompareStringOrdinal shares; the
// locale-aware comparisons would also equate names the file system keeps apart. Ignoring case it
// compares the upper-cased units one by one, which orders names as well as it equates them.
int compareNames(const std::wstring& a, const std::wstring& b) {
  const int order = CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                         static_cast<int>(b.size()), TRUE);
  return order == CSTR_EQUAL ? 0 : order == CSTR_LESS_THAN ? -1 : 1;
}

}  // namespace

NameOrder fileNameOrder() { return NameOrder{utf8ToWide, compareNames}; }

NameOrder fileNameOrderOnWindows() { return fileNameOrder(); }

bool sameFileName(const std::string& a, const std::string& b) { return fileNameOrder().same(a, b); }

bool sameFileNameOnWindows(const std::string& a, const std::string& b) {
  return sameFileName(a, b);
}

}  // namespace velm
