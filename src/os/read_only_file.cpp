#include "os/read_only_file.h"

#include <utility>

namespace velm {

bool readWholeFile(const std::filesystem::path& path, std::string& content) {
  const ReadOnlyFile file = openReadOnly(path, Links::Refuse);
  if (!file) return false;
  std::string text;
  char buffer[65536];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) text.append(buffer, got);
  if (std::ferror(file.get())) return false;
  content = std::move(text);
  return true;
}

}  // namespace velm
