#include "package/download_phase.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "os/file_move.h"
#include "os/held_file.h"
#include "package/delta_download.h"
#include "package/progress_line.h"

namespace velm {
namespace {

// Threads that put finished files on disk while the workers fetch the next ones: a flush waits
// for the disk, and on a journaling file system flushes that wait together share one commit.
constexpr size_t kFlushers = 4;

// The files of the phase and their console: workers take files in manifest order, the caller's
// thread shows them in manifest order, and only the file whose turn it is draws its progress.
class Phase {
 public:
  Phase(std::vector<PendingFile>& pending,
        const std::function<std::string(const std::string&)>& fileUrl, Net& net, FILE* progress,
        RetryClock& clock, const LocalChunks* local)
      : pending_(pending),
        fileUrl_(fileUrl),
        net_(net),
        progress_(progress),
        clock_(clock),
        local_(local),
        slots_(pending.size()) {
    for (size_t i = 0; i < pending.size(); ++i) {
      slots_[i].toFetch = pending[i].file.size;
      // A file with an index is shown once it knows what it will fetch.
      slots_[i].planned = !pending[i].file.chunks;
    }
  }

  DownloadPhase run() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      grow();
    }
    DownloadPhase result;
    for (size_t i = 0; i < pending_.size() && result.failure.empty(); ++i) show(i, result);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;  // no worker starts after this
    }
    for (std::thread& worker : workers_) worker.join();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      downloadsOver_ = true;
    }
    toFlush_.notify_all();
    for (std::thread& flusher : flushers_) flusher.join();
    return result;
  }

 private:
  struct Slot {
    bool done = false;
    bool opened = false;  // a file that could not be opened drew no progress line
    bool planned = false;
    uint64_t toFetch = 0;
    std::string reason;
  };

  // Starts a worker for each file not yet taken, up to as many as the Net carries at once: it
  // may learn that it carries more once its first answer came. Each new worker is handed its
  // first file. Called with mutex_ held.
  void grow() {
    const size_t wanted = std::min(net_.maxInFlight(), pending_.size());
    while (!stop_ && workers_.size() < wanted && next_ < pending_.size()) {
      const size_t index = next_++;
      try {
        workers_.emplace_back([this, index] { work(index); });
      } catch (const std::system_error&) {
        --next_;  // the workers there are take it
        if (workers_.empty()) throw;
        return;
      }
    }
  }

  void work(size_t index) {
    for (;;) {
      const PendingFile& entry = pending_[index];
      const auto onChunk = [this, index](uint64_t received) {
        std::lock_guard<std::mutex> lock(mutex_);
        grow();
        if (index == turn_ && line_) line_->update(received);
      };
      DeltaContext context;
      context.fileUrl = fileUrl_(entry.file.name);
      if (entry.file.chunks) context.indexUrl = fileUrl_(entry.file.chunks->name);
      context.local = local_;
      context.onPlanned = [this, index](uint64_t toFetch) {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          slots_[index].toFetch = toFetch;
          slots_[index].planned = true;
          if (index == turn_ && line_) line_->retotal(toFetch);
        }
        arrived_.notify_all();
      };
      context.onChunk = onChunk;
      context.cancel = &stop_;
      context.clock = &clock_;
      context.flushLater = true;
      Download download;
      try {
        download = fetchChangedFile(net_, entry, context);
      } catch (...) {
        // Nothing may escape a thread; what broke the transfer is the transfer's failure.
        download.outcome = DownloadOutcome::NoAnswer;
      }
      // A finished file is done once a flusher has put it on disk; without one, here.
      bool handedOver = false;
      if (download.outcome == DownloadOutcome::Ok) {
        handedOver = handOver(index);
        if (!handedOver && !flushFile(index)) download.outcome = DownloadOutcome::NotWritten;
      }
      if (!handedOver) {
        std::lock_guard<std::mutex> lock(mutex_);
        slots_[index].reason = downloadReason(download, entry.file);
        slots_[index].opened = download.outcome != DownloadOutcome::NotOpened;
        slots_[index].done = true;
      }
      arrived_.notify_all();
      std::lock_guard<std::mutex> lock(mutex_);
      grow();
      if (stop_ || next_ == pending_.size()) return;
      index = next_++;
    }
  }

  // Queues file index for a flusher, starting one while there are fewer than kFlushers; false
  // when none could start.
  bool handOver(size_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (flushers_.size() < kFlushers) {
      try {
        flushers_.emplace_back([this] { flushing(); });
      } catch (const std::system_error&) {
        if (flushers_.empty()) return false;
      }
    }
    unflushed_.push_back(index);
    toFlush_.notify_one();
    return true;
  }

  // Puts file index's ".new" on disk, opened again (a scanner that holds it now is waited for,
  // as a move waits); one that cannot be is a file that could not be written, and goes.
  bool flushFile(size_t index) {
    const PendingFile& entry = pending_[index];
    const std::string name = entry.temporary.filename().u8string();
    HeldFiles waits(nullptr, clock_);
    std::error_code error;
    const auto flush = [&entry](std::error_code& failure) {
      return flushToDisk(entry.temporary, failure);
    };
    if (waits.retry(name, flush, error)) return true;
    (void)waits.remove(name, entry.temporary, error);
    return false;
  }

  void flushing() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      toFlush_.wait(lock, [this] { return !unflushed_.empty() || downloadsOver_; });
      if (unflushed_.empty()) return;
      const size_t index = unflushed_.front();
      unflushed_.pop_front();
      // After a failure no file of the run is moved in: its ".new" files only wait to go.
      bool flushed = true;
      if (!stop_) {
        lock.unlock();
        flushed = flushFile(index);
        lock.lock();
      }
      Download download;
      download.outcome = flushed ? DownloadOutcome::Ok : DownloadOutcome::NotWritten;
      slots_[index].reason = downloadReason(download, pending_[index].file);
      slots_[index].opened = true;
      slots_[index].done = true;
      arrived_.notify_all();
    }
  }

  // File index's turn on the console: its lines, once it is done.
  void show(size_t index, DownloadPhase& result) {
    PendingFile& entry = pending_[index];
    const std::string& name = entry.file.name;
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait(lock, [&] { return slots_[index].planned || slots_[index].done; });
    const uint64_t toFetch = slots_[index].toFetch;
    printPackageLine(progress_, "[*] downloading " + name + " (" + sizeText(toFetch) + ")");
    turn_ = index;
    line_ = std::make_unique<ProgressLine>(progress_, name, toFetch);
    arrived_.wait(lock, [&] { return slots_[index].done; });
    const std::string& reason = slots_[index].reason;
    if (slots_[index].opened) line_->finish(reason.empty());
    line_.reset();
    if (reason.empty()) {
      entry.downloaded = true;
    } else if (!entry.file.required) {
      result.skipped.push_back(name + " " + reason + " -- skipped, it is optional");
      printPackageLine(progress_, "[!] " + result.skipped.back());
    } else {
      result.failure = name + " " + reason + " -- nothing was replaced";
      // The files after it are of no use now.
      stop_ = true;
      printPackageLine(progress_, "[!] " + result.failure);
    }
  }

  std::vector<PendingFile>& pending_;
  const std::function<std::string(const std::string&)>& fileUrl_;
  Net& net_;
  FILE* progress_;
  RetryClock& clock_;
  const LocalChunks* local_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Slot> slots_;
  std::vector<std::thread> workers_;  // only grow() adds one, and none once stop_ is set
  std::vector<std::thread> flushers_;
  std::deque<size_t> unflushed_;  // files downloaded whole and checked, for the flushers
  std::condition_variable toFlush_;
  bool downloadsOver_ = false;  // every worker has ended: a flusher ends with the queue
  size_t next_ = 0;             // the next file a worker takes
  size_t turn_ = SIZE_MAX;
  std::unique_ptr<ProgressLine> line_;  // of the file whose turn it is
  std::atomic<bool> stop_{false};
};

}  // namespace

DownloadPhase downloadPending(std::vector<PendingFile>& pending,
                              const std::function<std::string(const std::string&)>& fileUrl,
                              Net& net, FILE* progress, RetryClock& clock,
                              const LocalChunks* local) {
  return Phase(pending, fileUrl, net, progress, clock, local).run();
}

}  // namespace velm
