#include "catalogue/file_name.h"
#include "package/name_compare.h"

namespace velm {

bool sameFileName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && toLowerAscii(a) == toLowerAscii(b);
}

}  // namespace velm
