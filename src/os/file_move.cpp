#include "os/file_move.h"

#include "os/os_error.h"

namespace velm {

bool moveReplacing(const std::filesystem::path& source, const std::filesystem::path& target,
                   std::error_code& error, MoveScope scope, MoveSync sync) {
  // A rename replaces a link rather than following it, but a copy across volumes would write
  // through one, and a linked folder would take the file somewhere else altogether. Under Wine
  // a Unix link looks like a plain file to the move itself, so it is looked for first.
  if (isLink(source) || isLink(target) ||
      (scope == MoveScope::PackageFolder && isLink(target.parent_path()))) {
    error = linkRefusedError();
    return false;
  }
  return renameReplacing(source, target, scope, sync, error);
}

bool keepBackup(const std::filesystem::path& file, const std::filesystem::path& backup,
                std::error_code& error) {
  if (!removeFile(backup, error)) return false;
  if (hardLink(file, backup, error)) return true;
  // A file system without hard links (FAT, exFAT) or with too many on the file: a copy on disk
  // does the same. A held file is the caller's to wait for.
  if (isHeldError(error)) return false;
  return copyToDisk(file, backup, error);
}

}  // namespace velm
