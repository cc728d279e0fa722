#include "net/transfer_pace.h"

#include <gtest/gtest.h>

#include <chrono>
#include <utility>
#include <vector>

namespace velm {
namespace {

// Arrivals (ms from the start, bytes) on a fake clock: the transfer is not over 1 ms before
// `over`, and is from then on.
TEST(TransferPace, EndsAtTheStallTimeWithoutAKibibyteOrAtADocumentsDeadline) {
  struct Case {
    const char* what;
    uint32_t stallMs, deadlineMs;
    std::vector<std::pair<int64_t, uint64_t>> arrivals;
    int64_t over;
  };
  const std::vector<Case> cases = {
      {"a byte every 25 s", 30000, 0, {{25000, 1}, {50000, 1}}, 30000},
      {"1023 bytes", 30000, 0, {{1, 1023}}, 30000},
      {"a KiB in pieces gives the stall time again", 30000, 0, {{10000, 1000}, {20000, 24}}, 50000},
      {"a KiB every 29 s", 30000, 0, {{29000, 1024}, {58000, 2048}}, 88000},
      {"a steady document", 30000, 60000, {{20000, 2048}, {40000, 2048}, {59000, 2048}}, 60000},
      {"a deadline alone", 0, 60000, {}, 60000},
  };
  const auto start = TransferPace::Clock::now();
  const auto at = [start](int64_t ms) { return start + std::chrono::milliseconds(ms); };
  for (const Case& c : cases) {
    TransferPace pace(c.stallMs, c.deadlineMs, start);
    for (const auto& [ms, bytes] : c.arrivals) pace.arrived(bytes, at(ms));
    EXPECT_EQ(pace.left(at(c.over - 1)), std::chrono::milliseconds(1)) << c.what;
    EXPECT_TRUE(pace.over(at(c.over))) << c.what;
  }
  EXPECT_EQ(TransferPace(0, 0, start).left(at(86400000)), TransferPace::kNoLimit);
}

}  // namespace
}  // namespace velm
