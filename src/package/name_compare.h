// Whether two package file names name the same file in one folder, by the platform's rule.
#pragma once

#include <string>

namespace velm {

// Windows: equal as the file system compares names, case ignored for every letter (the UTF-16
// forms under CompareStringOrdinal). Elsewhere: equal after ASCII lower-casing, the rule that
// the manifest's own duplicate check uses.
bool sameFileName(const std::string& a, const std::string& b);

}  // namespace velm
