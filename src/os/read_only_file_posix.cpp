#include "os/read_only_file.h"

namespace velm {

ReadOnlyFile openReadOnly(const std::filesystem::path& path) {
  // "e": glibc opens with O_CLOEXEC, so no exec between open and close can inherit it.
  return ReadOnlyFile(std::fopen(path.c_str(), "rbe"));
}

}  // namespace velm
