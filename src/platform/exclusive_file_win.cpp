#include <io.h>
#include <share.h>

#include "platform/exclusive_file.h"

namespace velm {

FILE* openExclusiveForWriting(const std::filesystem::path& path) {
  // Share mode "deny write": readers only, no other writer and no delete while it is open. The
  // open of a second launcher fails before it could truncate the first one's download.
  return _wfsopen(path.c_str(), L"wb", _SH_DENYWR);
}

bool syncToDisk(FILE* file) { return _commit(_fileno(file)) == 0; }

}  // namespace velm
