#include "os/own_file.h"

#include "os/file_move.h"
#include "os/os_error.h"

namespace velm {

bool moveAside(const std::filesystem::path& path, const std::filesystem::path& folder,
               std::error_code& error) {
  std::error_code ignored;
  std::filesystem::create_directory(folder, ignored);
  // A linked aside folder would carry what is set aside out of the package folder.
  if (!std::filesystem::is_directory(folder, ignored) || isLink(folder)) {
    error = linkRefusedError();
    return false;
  }
  const std::string name = path.filename().u8string();
  for (unsigned attempt = 1; attempt <= 1000; ++attempt) {
    const std::filesystem::path aside =
        folder / std::filesystem::u8path(name + "." + std::to_string(attempt));
    if (renameNoReplace(path, aside, error)) return true;
    if (!isExistsError(error)) return false;
  }
  return false;
}

}  // namespace velm
