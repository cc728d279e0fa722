// Whether two package file names name the same file in one folder, by the platform's rule.
#pragma once

#include <string>

namespace velm {

// Windows: equal as the file system compares names, case ignored for every letter (the UTF-16
// forms under CompareStringOrdinal). Elsewhere: equal after ASCII lower-casing, the rule that
// the manifest's own duplicate check uses.
bool sameFileName(const std::string& a, const std::string& b);
// The rule of the Windows launcher, the strictest of all, on any platform: every letter's case
// ignored. velm-publish judges names by it, so that what it accepts every launcher accepts.
// Off Windows it takes the C library's Unicode case table, which folds at least what Windows'
// does for the letters of names.
bool sameFileNameOnWindows(const std::string& a, const std::string& b);

// A rule in a form that sorts, so that checking n names costs n log n comparisons: key is built
// once per name, and compare orders keys (negative, 0, positive), giving 0 exactly when the rule
// takes the two names for one file.
struct NameOrder {
  std::wstring (*key)(const std::string& name);
  int (*compare)(const std::wstring& a, const std::wstring& b);
  bool same(const std::string& a, const std::string& b) const {
    return compare(key(a), key(b)) == 0;
  }
};
// The orders of sameFileName and sameFileNameOnWindows.
NameOrder fileNameOrder();
NameOrder fileNameOrderOnWindows();

}  // namespace velm
