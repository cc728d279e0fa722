// A changed large file assembled from the chunks the package folder already holds and ranges of
// the new file for the rest, by its published chunk index; anything that keeps this from working
// (no usable index, a server without ranges, bytes that do not add up) costs a whole download in
// the same run, never a failed update.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "net/net.h"
#include "os/held_file.h"
#include "package/chunk_index.h"
#include "package/download.h"
#include "package/pending_file.h"

namespace velm {

// Where the chunks of the folder's files lie, learnt while the plan reads the listed files that
// have an index. A chunk found in several places is taken from the first.
class LocalChunks {
 public:
  struct Place {
    size_t file;  // into files()
    uint64_t offset;
    uint32_t length;
  };
  void add(const std::filesystem::path& file, const std::vector<Chunk>& chunks);
  const Place* find(const Chunk& chunk) const;
  const std::filesystem::path& file(size_t index) const { return files_[index]; }
  bool empty() const { return places_.empty(); }

 private:
  struct Key {
    ChunkHash hash;
    uint32_t length;
    bool operator==(const Key& other) const { return hash == other.hash && length == other.length; }
  };
  struct KeyHash {
    size_t operator()(const Key& key) const;
  };
  std::vector<std::filesystem::path> files_;
  std::unordered_map<Key, Place, KeyHash> places_;
};

// One stretch of the new file and where its bytes come from.
struct DeltaPiece {
  enum class Source { Held, Local, Remote };
  Source source;
  uint64_t offset;  // in the new file
  uint64_t length;
  size_t file = 0;          // Local: into LocalChunks' files
  uint64_t fileOffset = 0;  // Local: where the bytes begin there
};

// Ranges asked for at once are at most this long, so that a long run of new chunks is fetched
// by several requests in flight and a cut costs at most one of them.
inline constexpr uint64_t kMaxRangeLength = 8388608;

// The pieces of the new file in order: chunks the ".new" already holds (held, by chunk), then
// chunks found in local, then ranges to fetch. Neighbours of one kind are merged (local ones
// when they also follow each other in one file), ranges up to kMaxRangeLength.
std::vector<DeltaPiece> planDelta(const std::vector<Chunk>& wanted, const std::vector<bool>& held,
                                  const LocalChunks& local);

// What the download of one file needs beyond its PendingFile.
struct DeltaContext {
  std::string fileUrl;
  std::string indexUrl;
  const LocalChunks* local = nullptr;
  // Hears the bytes that will be fetched, before the first of them; again, with the file's
  // size, when the delta gives way to a whole download.
  std::function<void(uint64_t toFetch)> onPlanned;
  std::function<void(uint64_t received)> onChunk;
  const std::atomic<bool>* cancel = nullptr;
  RetryClock* clock = nullptr;
  bool flushLater = false;  // as DownloadRequest's
};

// The file into its ".new" from its chunk index where that pays, else (and when the delta
// fails) whole through fetchPackageFile.
Download fetchChangedFile(Net& net, const PendingFile& pending, const DeltaContext& context);

}  // namespace velm
