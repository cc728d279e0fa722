#include "package/delta_download.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "net/sha256.h"
#include "os/exclusive_file.h"
#include "os/read_only_file.h"

namespace velm {
namespace {

// Reads and writes of the assembly go in pieces of this size.
constexpr size_t kAssemblyBuffer = 1048576;
constexpr size_t kWriteBuffer = 65536;

// How a delta ended: a whole download follows Fallback; the others are the file's outcome.
enum class Ending { Done, Fallback, NoAnswer, NotWritten, Cancelled };

// One delta download of one file: the index, the chunks the ".new" holds, the ranges, the
// assembly.
class DeltaAttempt {
 public:
  DeltaAttempt(Net& net, const PendingFile& pending, const DeltaContext& context)
      : net_(net), pending_(pending), file_(pending.file), context_(context) {}

  Ending run() {
    if (!readIndex()) return cancelled() ? Ending::Cancelled : Ending::Fallback;
    if (!open()) return Ending::NotWritten;
    findHeld();
    pieces_ = planDelta(chunks_, held_, *context_.local);
    chunks_ = std::vector<Chunk>();
    const bool reuses = std::any_of(pieces_.begin(), pieces_.end(), [](const DeltaPiece& piece) {
      return piece.source != DeltaPiece::Source::Remote;
    });
    if (!reuses) return fallBack();
    uint64_t toFetch = 0;
    for (const DeltaPiece& piece : pieces_) {
      if (piece.source == DeltaPiece::Source::Remote) toFetch += piece.length;
    }
    if (context_.onPlanned) context_.onPlanned(toFetch);
    const Ending fetched = fetchRanges();
    if (fetched == Ending::Fallback) return fallBack();
    if (fetched != Ending::Done) return fail(fetched);
    if (!assemble()) return writeFailed_ ? fail(Ending::NotWritten) : fallBack();
    const auto flush =
        context_.flushLater ? ExclusiveFile::Flush::Later : ExclusiveFile::Flush::Now;
    return out_.close(flush) ? Ending::Done : fail(Ending::NotWritten);
  }

  bool opened() const { return opened_; }

 private:
  bool cancelled() const { return context_.cancel != nullptr && context_.cancel->load(); }

  // The index, as the signed manifest pins it.
  bool readIndex() {
    std::string bytes;
    const ChunkIndexRef& ref = *file_.chunks;
    return getText(net_, context_.indexUrl, bytes) == 200 && bytes.size() == ref.size &&
           textSha256(bytes) == ref.sha256 && parseChunkIndex(bytes, file_.size, chunks_);
  }

  bool open() {
    FileClaim claim;
    claim.asideFolder = pending_.asideFolder;
    std::optional<FileIdentity> known;
    if (pending_.record != nullptr) known = pending_.record->known(file_.name);
    if (known) claim.known = &*known;
    if (!out_.open(pending_.temporary,
                   known ? ExclusiveFile::Existing::Keep : ExclusiveFile::Existing::Truncate,
                   kWriteBuffer, claim)) {
      return false;
    }
    opened_ = true;
    kept_ = known && out_.identity() == *known;
    if (pending_.record != nullptr && !kept_) pending_.record->made(file_.name, out_.identity());
    return true;
  }

  // The chunks that a ".new" left by an interrupted run already holds at their place.
  void findHeld() {
    held_.assign(chunks_.size(), false);
    if (!kept_) return;
    size_t index = 0;
    uint32_t filled = 0;
    Sha256 hasher;
    uint64_t size = 0;
    const auto reader = [&](const char* data, size_t length) {
      while (length > 0 && index < chunks_.size()) {
        const size_t take = std::min<size_t>(length, chunks_[index].length - filled);
        hasher.update(data, take);
        filled += static_cast<uint32_t>(take);
        data += take;
        length -= take;
        if (filled < chunks_[index].length) continue;
        const Sha256Digest digest = hasher.finalDigest();
        held_[index] =
            std::equal(chunks_[index].hash.begin(), chunks_[index].hash.end(), digest.begin());
        hasher.reset();
        filled = 0;
        ++index;
      }
    };
    if (!out_.readBack(reader, size)) held_.assign(chunks_.size(), false);
  }

  // Every range in flight at once, as many as the Net carries; the first that cannot go on stops
  // the others.
  Ending fetchRanges() {
    std::vector<const DeltaPiece*> ranges;
    for (const DeltaPiece& piece : pieces_) {
      if (piece.source == DeltaPiece::Source::Remote) ranges.push_back(&piece);
    }
    std::atomic<size_t> next{0};
    std::atomic<bool> stop{false};
    Ending ending = Ending::Done;
    std::mutex endingMutex;
    const auto work = [&] {
      for (;;) {
        const size_t index = next++;
        if (index >= ranges.size() || stop || cancelled()) return;
        Ending one;
        try {
          one = fetchRange(*ranges[index], stop);
        } catch (...) {
          one = Ending::NoAnswer;
        }
        if (one == Ending::Done) continue;
        std::lock_guard<std::mutex> lock(endingMutex);
        if (ending == Ending::Done) ending = one;
        stop = true;
        return;
      }
    };
    std::vector<std::thread> workers;
    const size_t count = std::min(ranges.size(), net_.maxInFlight());
    for (size_t i = 1; i < count; ++i) {
      try {
        workers.emplace_back(work);
      } catch (...) {
        break;  // no more threads: the ones there are share the ranges
      }
    }
    work();
    for (std::thread& worker : workers) worker.join();
    if (ending == Ending::Done && cancelled()) return Ending::Cancelled;
    return ending;
  }

  // One range, continued after cuts as a whole download is.
  Ending fetchRange(const DeltaPiece& piece, const std::atomic<bool>& stop) {
    RetryClock& clock = context_.clock != nullptr ? *context_.clock : systemRetryClock();
    uint64_t got = 0;
    for (size_t cuts = 0;; ++cuts) {
      RequestOptions options;
      options.firstByte = piece.offset + got;
      options.lastByte = piece.offset + piece.length - 1;
      bool partial = true;
      bool overran = false;
      options.onBody = [&partial](uint32_t status) { partial = status == 206; };
      ByteSink sink = [&](const char* data, size_t length) {
        if (!partial || stop || cancelled()) return false;
        if (length > piece.length - got) {
          overran = true;
          return false;
        }
        if (!place(piece.offset + got, data, length)) return false;
        got += length;
        return true;
      };
      const uint32_t status = net_.get(context_.fileUrl, sink, options);
      if (got == piece.length && partial && (status == 206 || status == 0)) return Ending::Done;
      if (writeFailed_) return Ending::NotWritten;
      if (cancelled()) return Ending::Cancelled;
      if (stop) return Ending::NoAnswer;
      // The server has no ranges, or none for this file: the whole file says what it has.
      if (!partial || overran || (status != 0 && status != 206)) return Ending::Fallback;
      // Also what a server whose answers to ranges cannot be placed comes to: the whole file
      // may still come.
      if (cuts == std::size(kCutPauses)) return Ending::Fallback;
      pauseUnlessCancelled(clock, kCutPauses[cuts], context_.cancel);
    }
  }

  // Writes fetched bytes at their place in the ".new".
  bool place(uint64_t offset, const char* data, size_t length) {
    std::lock_guard<std::mutex> lock(writeMutex_);
    const bool written =
        offset == writeEnd_ ? out_.write(data, length) : out_.writeAt(offset, data, length);
    if (!written) {
      writeFailed_ = true;
      return false;
    }
    writeEnd_ = offset + length;
    wrote_ = true;
    received_ += length;
    if (context_.onChunk) context_.onChunk(received_);
    return true;
  }

  // Copies the local pieces into the ".new" and hashes the whole file in order; true when it is
  // the manifest's file.
  bool assemble() {
    std::vector<char> buffer(kAssemblyBuffer);
    std::vector<ReadOnlyFile> sources;
    Sha256 hasher;
    for (const DeltaPiece& piece : pieces_) {
      FILE* source = nullptr;
      if (piece.source == DeltaPiece::Source::Local) {
        if (sources.size() <= piece.file) sources.resize(piece.file + 1);
        ReadOnlyFile& opened = sources[piece.file];
        if (!opened) opened = openReadOnly(context_.local->file(piece.file));
        if (!opened || !seekTo(opened.get(), piece.fileOffset)) return false;
        source = opened.get();
      }
      for (uint64_t done = 0; done < piece.length;) {
        const size_t length =
            static_cast<size_t>(std::min<uint64_t>(buffer.size(), piece.length - done));
        const uint64_t at = piece.offset + done;
        if (source != nullptr) {
          if (std::fread(buffer.data(), 1, length, source) != length) return false;
          if (!out_.writeAt(at, buffer.data(), length)) {
            writeFailed_ = true;
            return false;
          }
          wrote_ = true;
        } else if (!out_.readAt(at, buffer.data(), length)) {
          return false;
        }
        hasher.update(buffer.data(), length);
        done += length;
      }
    }
    return hasher.finalDigest() == file_.sha256;
  }

  // Empties what this attempt wrote, so the whole download starts from nothing rather than
  // continuing a file with holes.
  Ending fallBack() {
    if (wrote_) (void)out_.restart();
    (void)out_.close();
    return Ending::Fallback;
  }

  Ending fail(Ending ending) {
    (void)out_.close();
    std::error_code ignored;
    (void)HeldFiles().remove(pending_.temporary.filename().u8string(), pending_.temporary, ignored);
    return ending;
  }

  Net& net_;
  const PendingFile& pending_;
  const ManifestFile& file_;
  const DeltaContext& context_;
  std::vector<Chunk> chunks_;
  std::vector<bool> held_;
  std::vector<DeltaPiece> pieces_;
  ExclusiveFile out_;
  bool opened_ = false;
  bool kept_ = false;
  bool wrote_ = false;
  std::mutex writeMutex_;
  uint64_t writeEnd_ = UINT64_MAX;
  uint64_t received_ = 0;
  std::atomic<bool> writeFailed_{false};
};

}  // namespace

size_t LocalChunks::KeyHash::operator()(const Key& key) const {
  size_t value;
  std::memcpy(&value, key.hash.data(), sizeof value);
  return value ^ key.length;
}

void LocalChunks::add(const std::filesystem::path& file, const std::vector<Chunk>& chunks) {
  if (chunks.empty()) return;
  files_.push_back(file);
  for (const Chunk& chunk : chunks) {
    places_.emplace(Key{chunk.hash, chunk.length},
                    Place{files_.size() - 1, chunk.offset, chunk.length});
  }
}

const LocalChunks::Place* LocalChunks::find(const Chunk& chunk) const {
  const auto found = places_.find(Key{chunk.hash, chunk.length});
  return found == places_.end() ? nullptr : &found->second;
}

std::vector<DeltaPiece> planDelta(const std::vector<Chunk>& wanted, const std::vector<bool>& held,
                                  const LocalChunks& local) {
  using Source = DeltaPiece::Source;
  std::vector<DeltaPiece> pieces;
  for (size_t i = 0; i < wanted.size(); ++i) {
    const Chunk& chunk = wanted[i];
    DeltaPiece next{Source::Remote, chunk.offset, chunk.length};
    const LocalChunks::Place* place = nullptr;
    if (i < held.size() && held[i]) {
      next.source = Source::Held;
    } else if ((place = local.find(chunk)) != nullptr) {
      next.source = Source::Local;
      next.file = place->file;
      next.fileOffset = place->offset;
    }
    if (!pieces.empty()) {
      DeltaPiece& last = pieces.back();
      const bool joins =
          last.source == next.source &&
          (next.source != Source::Local ||
           (last.file == next.file && last.fileOffset + last.length == next.fileOffset)) &&
          (next.source != Source::Remote || last.length + next.length <= kMaxRangeLength);
      if (joins) {
        last.length += next.length;
        continue;
      }
    }
    pieces.push_back(next);
  }
  return pieces;
}

Download fetchChangedFile(Net& net, const PendingFile& pending, const DeltaContext& context) {
  if (pending.file.chunks && context.local != nullptr && !context.local->empty()) {
    DeltaAttempt attempt(net, pending, context);
    const Ending ending = attempt.run();
    Download download;
    switch (ending) {
      case Ending::Done:
        download.outcome = DownloadOutcome::Ok;
        download.status = 200;
        download.received = pending.file.size;
        return download;
      case Ending::NotWritten:
        download.outcome =
            attempt.opened() ? DownloadOutcome::NotWritten : DownloadOutcome::NotOpened;
        return download;
      case Ending::NoAnswer:
      case Ending::Cancelled:
        download.outcome = DownloadOutcome::NoAnswer;
        return download;
      case Ending::Fallback:
        break;
    }
    if (context.onPlanned) context.onPlanned(pending.file.size);
  }
  return fetchPackageFile(net, context.fileUrl, pending, context.onChunk, context.cancel,
                          context.clock, context.flushLater);
}

}  // namespace velm
