#include "os/held_file.h"

#include <algorithm>
#include <thread>
#include <utility>

#include "os/file_move.h"
#include "os/os_error.h"

namespace velm {
namespace {

class SystemRetryClock final : public RetryClock {
 public:
  std::chrono::steady_clock::time_point now() override { return std::chrono::steady_clock::now(); }
  void sleep(std::chrono::milliseconds pause) override { std::this_thread::sleep_for(pause); }
};

}  // namespace

RetryClock& systemRetryClock() {
  static SystemRetryClock clock;
  return clock;
}

HeldFiles::HeldFiles(Notice notice, RetryClock& clock)
    : notice_(std::move(notice)), clock_(clock) {}

bool HeldFiles::retry(const std::string& name, const std::function<bool(std::error_code&)>& attempt,
                      std::error_code& error) {
  using std::chrono::duration_cast;
  using std::chrono::milliseconds;
  const auto start = clock_.now();
  // The file's earlier operations in this run count against its wait.
  milliseconds& spent = waited_[name];
  const milliseconds spentBefore = spent;
  milliseconds pause = kFirstPause;
  for (;;) {
    const bool done = attempt(error);
    const milliseconds waited = spentBefore + duration_cast<milliseconds>(clock_.now() - start);
    spent = waited;
    if (done) return true;
    if (!isHeldError(error) || waited >= kLongestWait) return false;
    if (waited >= kQuietWait && notice_ && named_.insert(name).second) notice_(name);
    milliseconds next = std::min(pause, kLongestWait - waited);
    // One try falls at the moment the player is told, so a file released by then is not named.
    if (waited < kQuietWait) next = std::min(next, kQuietWait - waited);
    clock_.sleep(next);
    pause = std::min(pause * 2, kLongestPause);
  }
}

bool HeldFiles::move(const std::string& name, const std::filesystem::path& source,
                     const std::filesystem::path& target, std::error_code& error, MoveScope scope,
                     MoveSync sync) {
  return retry(
      name,
      [&](std::error_code& failure) { return moveReplacing(source, target, failure, scope, sync); },
      error);
}

bool HeldFiles::remove(const std::string& name, const std::filesystem::path& path,
                       std::error_code& error) {
  return retry(
      name, [&](std::error_code& failure) { return removeFile(path, failure); }, error);
}

std::string HeldFiles::waitingLine(const std::string& name) {
  return "[*] waiting for " + name + ", which another program holds";
}

}  // namespace velm
