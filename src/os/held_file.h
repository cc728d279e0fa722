// Files that another program holds for a moment. On a player's machine a freshly written file is
// often opened by an anti-virus scanner, the search indexer or a cloud-sync client, and a game
// holds its own files while it runs: a move or delete that fails for that reason is tried again
// for a while before it counts as failed.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <system_error>

#include "os/file_move.h"

namespace velm {

// The time a retry waits, apart so that tests can run it without waiting.
class RetryClock {
 public:
  virtual ~RetryClock() = default;
  virtual std::chrono::steady_clock::time_point now() = 0;
  virtual void sleep(std::chrono::milliseconds pause) = 0;
};

// The steady clock and a real sleep.
RetryClock& systemRetryClock();

class HeldFiles {
 public:
  // Longest wait for one file over all its operations in a run; after it the last error stands.
  static constexpr std::chrono::milliseconds kLongestWait{5000};
  // A wait longer than this is named to the player, once per file.
  static constexpr std::chrono::milliseconds kQuietWait{1000};
  static constexpr std::chrono::milliseconds kFirstPause{20};
  static constexpr std::chrono::milliseconds kLongestPause{1000};

  // Called with a file's name the first time a wait for it passes kQuietWait; may be null.
  using Notice = std::function<void(const std::string& name)>;

  explicit HeldFiles(Notice notice = nullptr, RetryClock& clock = systemRetryClock());
  virtual ~HeldFiles() = default;

  // Tries attempt until it succeeds, fails with an error that is not isHeldError, or name has
  // been waited for kLongestWait in all, with growing pauses. name is what the notice calls the
  // file. On failure returns false with error set by the last try.
  virtual bool retry(const std::string& name, const std::function<bool(std::error_code&)>& attempt,
                     std::error_code& error);

  // moveReplacing and removeFile, retried.
  bool move(const std::string& name, const std::filesystem::path& source,
            const std::filesystem::path& target, std::error_code& error,
            MoveScope scope = MoveScope::PackageFolder, MoveSync sync = MoveSync::Now);
  bool remove(const std::string& name, const std::filesystem::path& path, std::error_code& error);

  // Gives every file its whole wait again (the notices stay given): undoing a run's moves is
  // worth a wait of its own.
  void renewWaits() { waited_.clear(); }
  // The clock of the waits, for other waits of the same run.
  RetryClock& clock() { return clock_; }

  // The wording of the notice: "[*] waiting for NAME, which another program holds".
  static std::string waitingLine(const std::string& name);

 private:
  Notice notice_;
  RetryClock& clock_;
  std::set<std::string> named_;  // the files the player has already heard of
  std::map<std::string, std::chrono::milliseconds> waited_;  // per file, over its operations
};

}  // namespace velm
