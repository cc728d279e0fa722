#include "os/read_only_file.h"

namespace velm {

ReadOnlyFile openReadOnly(const std::filesystem::path& path) {
  // "N": the C runtime opens with _O_NOINHERIT.
  return ReadOnlyFile(_wfopen(path.c_str(), L"rbN"));
}

}  // namespace velm
