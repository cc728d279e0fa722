// A file that only its owner may read, for velm-publish's private keys: made new, or read only
// while it stays so. The POSIX port only: velm-publish is built there alone.
#pragma once

#include <cstdint>
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

enum class OwnerOnlyRead : uint32_t {
  Ok,
  NotRead,       // it could not be opened or read, or is no regular file: error says why
  OpenToOthers,  // its group or others have a permission on it: nothing was read
};

// Reads the whole of path into bytes when it is a regular file on which its group and others
// have no permission (as ssh asks of a private key). The mode is judged on the descriptor that
// the read then uses, so no other file can be put in its place in between. mode gets the file's
// permission bits whenever it could be opened.
[[nodiscard]] OwnerOnlyRead readOwnerOnlyFile(const std::filesystem::path& path, std::string& bytes,
                                              uint32_t& mode, std::error_code& error);

}  // namespace velm
