// Names the launcher writes, resumes or deletes: only what it made itself is ever written
// through or deleted. Under Wine a Unix symbolic link looks like the plain file it names, and
// opening, deleting or renaming it acts on that file, wherever it is; only a move over the
// link's name replaces the link itself.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <system_error>

namespace velm {

// A file's identity: volume serial and file index on Windows, device and inode on POSIX.
struct FileIdentity {
  uint64_t volume = 0;
  uint64_t index = 0;
  bool operator==(const FileIdentity& other) const {
    return volume == other.volume && index == other.index;
  }
  bool operator!=(const FileIdentity& other) const { return !(*this == other); }
};

// What a file's metadata says of its content, for trusting it unread: size, last-write and
// change times (nanoseconds since 1970 on POSIX, FILETIME units on Windows) and identity. A
// write, a rename or a new file at the name changes the change time, which no program sets back.
struct FileStamp {
  uint64_t size = 0;
  int64_t writeTime = 0;
  int64_t changeTime = 0;
  FileIdentity identity;
  bool operator==(const FileStamp& other) const {
    return size == other.size && writeTime == other.writeTime && changeTime == other.changeTime &&
           identity == other.identity;
  }
  bool operator!=(const FileStamp& other) const { return !(*this == other); }
};

// The kind of stamp this build takes ("posix" or "windows"); another kind's times and identities
// mean nothing to it.
extern const char kFileStampKind[];
// The stamp of path when it is a plain file, as plainFileIdentity judges one; false otherwise.
[[nodiscard]] bool plainFileStamp(const std::filesystem::path& path, FileStamp& stamp);
// The stamps of a package's files, read a folder at a time where that is cheaper. On Windows one
// listing of a folder (and one query of its volume) answers for every file in it: opening each
// file costs round trips to the server under Wine, the volume serial above all, about 0.7 ms a
// file. A listed stamp has the same values as plainFileStamp's but says nothing of the file's
// other names: it is for trusting unchanged content, which a second name cannot change unseen.
// A name the listing does not hold as it is spelt is looked up alone, and so is every file of a
// folder whose first listed stamp was not its handle's (FAT gives listings other file numbers).
// Elsewhere every stamp is a plainFileStamp. The listings are read once: for files nothing else
// changes meanwhile.
class FolderStamps {
 public:
  FolderStamps();
  ~FolderStamps();
  FolderStamps(const FolderStamps&) = delete;
  FolderStamps& operator=(const FolderStamps&) = delete;

  // The stamp of path when it is a plain file; false otherwise.
  [[nodiscard]] bool stampOf(const std::filesystem::path& path, FileStamp& stamp);

 private:
  struct Listings;
  std::unique_ptr<Listings> listings_;
};

// How far apart two writes must be for the file system that holds folder to give them different
// times, in the units of FileStamp's times: 2 s on FAT-family volumes, 1 s on the others (the
// coarsest of them keep whole seconds), 2 s when the system does not say.
int64_t fileTimeResolution(const std::filesystem::path& folder);

// The identity of path when it is a plain file: a regular file with one name that is, as far as
// the system shows, no link. False for anything else, and for nothing. Never opens a special
// file (a FIFO would block).
[[nodiscard]] bool plainFileIdentity(const std::filesystem::path& path, FileIdentity& identity);

// Frees path for a file the launcher is about to create there, acting on the name only, never
// on what a link at it leads to. A plain file goes (under Wine, so does a Unix link to a file,
// by name: it looks like one). Anything else (a folder, a link, a file with other names, a
// special file) is moved into asideFolder (created when missing; no link) under a fresh name,
// or without an asideFolder refused with linkRefusedError(). A folder link on Windows is always
// refused: under Wine no call moves or removes one without acting on the folder it leads to.
// Nothing at path: true.
[[nodiscard]] bool clearName(const std::filesystem::path& path,
                             const std::filesystem::path& asideFolder, std::error_code& error);

// Removes the name path, whatever file-like thing it holds, without acting on what a link at it
// leads to (Windows: the launcher's own empty file is moved over it first, then removed). A
// folder is refused; nothing at path is no failure.
[[nodiscard]] bool dropName(const std::filesystem::path& path, std::error_code& error);

// Moves path into folder under a name that was free, the name itself and not what a link at it
// leads to (which Windows, not Wine, does for a link; clearName knows where this is safe).
[[nodiscard]] bool moveAside(const std::filesystem::path& path, const std::filesystem::path& folder,
                             std::error_code& error);

// The platform halves: a rename that fails, with isExistsError, where target exists; that test.
[[nodiscard]] bool renameNoReplace(const std::filesystem::path& source,
                                   const std::filesystem::path& target, std::error_code& error);
[[nodiscard]] bool isExistsError(const std::error_code& error);

}  // namespace velm
