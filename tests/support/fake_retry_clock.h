// A RetryClock whose time moves only when the code under test sleeps: retries run at once, and
// the pauses they asked for can be checked.
#pragma once

#include <chrono>
#include <mutex>
#include <vector>

#include "os/held_file.h"

namespace velm {

class FakeRetryClock final : public RetryClock {
 public:
  std::chrono::steady_clock::time_point now() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return now_;
  }
  void sleep(std::chrono::milliseconds pause) override {
    std::lock_guard<std::mutex> lock(mutex_);
    pauses.push_back(pause);
    now_ += pause;
  }
  // Time since the clock was made.
  std::chrono::milliseconds elapsed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::chrono::duration_cast<std::chrono::milliseconds>(now_ - start_);
  }

  std::vector<std::chrono::milliseconds> pauses;  // read once the sleepers are done

 private:
  std::mutex mutex_;
  std::chrono::steady_clock::time_point start_ =
      std::chrono::steady_clock::time_point() + std::chrono::hours(1);
  std::chrono::steady_clock::time_point now_ = start_;
};

}  // namespace velm
