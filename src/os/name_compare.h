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

// Either rule, for the checks that take one.
using SameNameRule = bool (*)(const std::string& a, const std::string& b);

}  // namespace velm
