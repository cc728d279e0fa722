// How many files the download phase keeps in flight: as many as its Net carries at once, also
// when the Net learns that only once its connection is made, and the console stays in order.
#include "package/download_phase.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "support/fake_net.h"
#include "support/fake_retry_clock.h"
#include "support/fixtures.h"
#include "support/temp_dir.h"

namespace velm {
namespace {

constexpr char kBase[] = "https://example.test/pkg/";

// Holds each request (but that of `passing`, which calls onPassing) until `gather` are waiting
// together (5 s at most, so that a phase that never gets there fails rather than hangs), and keeps
// the most it saw at once.
class Crowd {
 public:
  explicit Crowd(FakeNet& net) {
    net.onRequest = [this](const std::string& url) {
      if (url != passing) {
        arrive();
      } else if (onPassing) {
        onPassing();
      }
    };
  }
  size_t gather = 0;
  std::string passing;
  std::function<void()> onPassing;
  size_t peak() {
    std::lock_guard<std::mutex> lock(mutex_);
    return peak_;
  }

 private:
  void arrive() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++waiting_;
    peak_ = std::max(peak_, waiting_);
    if (waiting_ >= gather) released_ = true;
    gathered_.notify_all();
    gathered_.wait_for(lock, std::chrono::seconds(5), [this] { return released_; });
    --waiting_;
  }
  std::mutex mutex_;
  std::condition_variable gathered_;
  size_t waiting_ = 0;
  size_t peak_ = 0;
  bool released_ = false;
};

class DownloadPhaseWidth : public testing::Test {
 protected:
  DownloadPhaseWidth() {
    progress_ = std::fopen((dir_.path() / "progress.txt").string().c_str(), "w+b");
  }
  ~DownloadPhaseWidth() override {
    if (progress_) std::fclose(progress_);
  }

  // count files served by net_, named prefix0.dat and on.
  void publish(size_t count, const std::string& prefix = "f") {
    for (size_t i = 0; i < count; ++i) {
      const std::string name = prefix + std::to_string(i) + ".dat";
      const std::string content = "content of " + name;
      ManifestFile file;
      file.name = name;
      file.size = content.size();
      file.sha256 = sha256Of(content);
      files_.push_back(file);
      net_.serve(kBase + name, content);
    }
  }

  DownloadPhase run() {
    std::vector<PendingFile> pending;
    for (const ManifestFile& file : files_) {
      const std::filesystem::path target = dir_.path() / file.name;
      pending.push_back(PendingFile{file, target, target.string() + ".new"});
    }
    DownloadPhase phase = downloadPending(
        pending, [](const std::string& name) { return kBase + name; }, net_, progress_, clock_);
    for (const PendingFile& entry : pending) EXPECT_TRUE(entry.downloaded) << entry.file.name;
    return phase;
  }

  // What the console should show for files that all arrive.
  std::string inOrder() const {
    std::string lines;
    for (const ManifestFile& file : files_) lines += "[*] downloading " + file.name + " (0 KB)\n";
    return lines;
  }

  std::string printed() {
    std::fflush(progress_);
    std::ifstream stream(dir_.path() / "progress.txt", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
  }

  TempDir dir_;
  FakeNet net_;
  FakeRetryClock clock_;
  FILE* progress_ = nullptr;
  std::vector<ManifestFile> files_;  // before any PendingFile that refers to them
};

TEST_F(DownloadPhaseWidth, KeepsAsManyInFlightAsTheNetCarries) {
  struct Case {
    size_t files;
    size_t inFlight;
    size_t peak;
  };
  const Case cases[] = {
      {30, 20, 20},
      {30, kMaxTransfers, kMaxTransfers},
      {12, 100, 12},  // never more threads than files
      {5, 1, 1},
  };
  for (const Case& c : cases) {
    net_.reset();
    files_.clear();
    publish(c.files, "c" + std::to_string(c.files) + "x" + std::to_string(c.inFlight) + "f");
    net_.inFlight = c.inFlight;
    Crowd crowd(net_);
    crowd.gather = c.peak;
    const DownloadPhase phase = run();
    EXPECT_EQ(phase.failure, "") << c.files << " files";
    EXPECT_EQ(crowd.peak(), c.peak) << c.files << " files, " << c.inFlight << " at once";
  }
}

// The curl Net knows that its connection multiplexes only once the first answer comes: the
// phase grows to the new width then, and still prints in manifest order.
TEST_F(DownloadPhaseWidth, GrowsWhenTheNetLearnsItCarriesMore) {
  publish(40);
  Crowd crowd(net_);
  crowd.gather = 24;
  crowd.passing = std::string(kBase) + "f0.dat";
  crowd.onPassing = [this] { net_.inFlight = 24; };
  const DownloadPhase phase = run();
  EXPECT_EQ(phase.failure, "");
  EXPECT_EQ(crowd.peak(), 24u);
  EXPECT_EQ(printed(), inOrder());
}

}  // namespace
}  // namespace velm
