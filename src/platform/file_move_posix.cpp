#include "platform/file_move.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace velm {

bool moveReplacing(const std::filesystem::path& source, const std::filesystem::path& target,
                   std::error_code& error) {
  if (std::rename(source.c_str(), target.c_str()) == 0) {
    error.clear();
    return true;
  }
  if (errno != EXDEV) {
    error = std::error_code(errno, std::generic_category());
    return false;
  }
  // Across file systems: copy next to nothing else, then drop the source, as a copy-allowed move.
  std::filesystem::copy_file(source, target, std::filesystem::copy_options::overwrite_existing,
                             error);
  if (error) return false;
  std::filesystem::remove(source, error);
  return !error;
}

std::string systemErrorMessage(const std::error_code& error) {
  std::string text = error.message();
  while (!text.empty() && (text.back() == ' ' || text.back() == '\r' || text.back() == '\n' ||
                           text.back() == '\t')) {
    text.pop_back();
  }
  return text.empty() ? "unknown error" : text;
}

}  // namespace velm
