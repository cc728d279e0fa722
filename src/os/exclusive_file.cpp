#include "os/exclusive_file.h"

namespace velm {

ExclusiveFile::~ExclusiveFile() {
  if (file_ != nullptr) std::fclose(file_);
}

bool ExclusiveFile::open(const std::filesystem::path& path, Existing existing, size_t writeBuffer,
                         const Claim& claim) {
  if (file_ != nullptr) return false;
  const bool keep = existing == Existing::Keep && claim.known != nullptr;
  if (keep) file_ = openKnownForWriting(path, *claim.known);
  if (file_ != nullptr) {
    identity_ = *claim.known;
  } else {
    existing = Existing::Truncate;
    // Another launcher's download stays its own.
    if (heldByAnotherWriter(path)) return false;
    std::error_code error;
    if (!clearName(path, claim.asideFolder, error)) return false;
    file_ = createForWriting(path, identity_);
    // Under Wine a link whose file is missing shows as nothing, yet takes the name.
    if (file_ == nullptr && dropName(path, error)) file_ = createForWriting(path, identity_);
  }
  failed_ = false;
  // Before any other operation on the stream, as setvbuf asks.
  if (file_ != nullptr && writeBuffer > 0) {
    buffer_ = std::make_unique<char[]>(writeBuffer);
    failed_ = std::setvbuf(file_, buffer_.get(), _IOFBF, writeBuffer) != 0;
  }
  // Kept bytes are continued, not overwritten.
  if (file_ != nullptr && existing == Existing::Keep) failed_ = std::fseek(file_, 0, SEEK_END) != 0;
  return file_ != nullptr;
}

bool ExclusiveFile::readBack(const std::function<void(const char* data, size_t length)>& reader,
                             uint64_t& size) {
  if (file_ == nullptr || failed_ || std::fseek(file_, 0, SEEK_SET) != 0) return false;
  char buffer[65536];
  uint64_t count = 0;
  for (;;) {
    const size_t got = std::fread(buffer, 1, sizeof buffer, file_);
    if (got == 0) break;
    reader(buffer, got);
    count += got;
  }
  // A stream switches from reading to writing only through a seek.
  if (std::ferror(file_) || std::fseek(file_, 0, SEEK_END) != 0) return false;
  size = count;
  return true;
}

bool ExclusiveFile::restart() {
  if (file_ == nullptr || std::fflush(file_) != 0 || !truncateToZero(file_) ||
      std::fseek(file_, 0, SEEK_SET) != 0) {
    failed_ = true;
    return false;
  }
  failed_ = false;
  return true;
}

bool ExclusiveFile::write(const void* data, size_t length) {
  if (file_ == nullptr || failed_) return false;
  if (length != 0 && std::fwrite(data, 1, length, file_) != length) failed_ = true;
  return !failed_;
}

bool ExclusiveFile::writeAt(uint64_t offset, const void* data, size_t length) {
  if (file_ == nullptr || failed_) return false;
  if (!seekTo(file_, offset)) failed_ = true;
  return write(data, length);
}

bool ExclusiveFile::readAt(uint64_t offset, void* data, size_t length) {
  if (file_ == nullptr || failed_ || !seekTo(file_, offset)) return false;
  return std::fread(data, 1, length, file_) == length;
}

bool ExclusiveFile::close(Flush flush) {
  if (file_ == nullptr) return false;
  // Buffered bytes reach the system only here, so a full disk may show up only now.
  const bool synced = std::fflush(file_) == 0 && (flush == Flush::Later || syncToDisk(file_));
  const bool closed = std::fclose(file_) == 0 && synced;
  file_ = nullptr;
  buffer_.reset();
  return closed && !failed_;
}

}  // namespace velm
