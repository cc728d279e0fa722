// A new file that only its owner may read, for velm-publish's private keys. The POSIX port only:
// velm-publish is built there alone.
#pragma once

#include <filesystem>
#include <string>
#include <system_error>

namespace velm {

// Creates path, which must not exist yet, not even as a link, with read and write for its owner
// alone, writes bytes to it and puts them on stable storage. On failure returns false with error
// set and created telling whether the file had been made (it is removed again); a path that
// exists fails with std::errc::file_exists and is left as it is.
[[nodiscard]] bool writeNewOwnerOnlyFile(const std::filesystem::path& path,
                                         const std::string& bytes, std::error_code& error,
                                         bool& created);

}  // namespace velm
