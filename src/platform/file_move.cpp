#include "platform/file_move.h"

#include "platform/os_error.h"

namespace velm {

bool moveReplacing(const std::filesystem::path& source, const std::filesystem::path& target,
                   std::error_code& error) {
  // A rename replaces a link rather than following it, but a copy across volumes would write
  // through one, and a linked folder would take the file somewhere else altogether.
  if (isLink(source) || isLink(target) || isLink(target.parent_path())) {
    error = linkRefusedError();
    return false;
  }
  return renameReplacing(source, target, error);
}

}  // namespace velm
