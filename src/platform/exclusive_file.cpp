#include "platform/exclusive_file.h"

namespace velm {

ExclusiveFile::~ExclusiveFile() {
  if (file_ != nullptr) std::fclose(file_);
}

bool ExclusiveFile::open(const std::filesystem::path& path) {
  if (file_ != nullptr) return false;
  file_ = openExclusiveForWriting(path);
  failed_ = false;
  return file_ != nullptr;
}

bool ExclusiveFile::write(const void* data, size_t length) {
  if (file_ == nullptr || failed_) return false;
  if (length != 0 && std::fwrite(data, 1, length, file_) != length) failed_ = true;
  return !failed_;
}

bool ExclusiveFile::close() {
  if (file_ == nullptr) return false;
  // Buffered bytes reach the system only here, so a full disk may show up only now.
  const bool synced = std::fflush(file_) == 0 && syncToDisk(file_);
  const bool closed = std::fclose(file_) == 0 && synced;
  file_ = nullptr;
  return closed && !failed_;
}

}  // namespace velm
