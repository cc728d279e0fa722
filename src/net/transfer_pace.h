// When a transfer has stopped making way, the same for both Nets: fewer than kStallBytes within
// the stall time, counted from the request's start or from the moment the last whole kStallBytes
// had arrived (so one byte every 25 s stalls at 30 s, as under curl's low-speed limit), or, for
// a document, past its deadline from the request's start.
#pragma once

#include <chrono>
#include <cstdint>

namespace velm {

// Fewer bytes than this within the stall time is a stalled transfer.
inline constexpr uint64_t kStallBytes = 1024;

class TransferPace {
 public:
  using Clock = std::chrono::steady_clock;
  // What left() answers when nothing limits the transfer.
  static constexpr Clock::duration kNoLimit = Clock::duration::max();

  // stallMs 0 never stalls (as WinHTTP's time-out 0); deadlineMs 0 sets no deadline.
  TransferPace(uint32_t stallMs, uint32_t deadlineMs, Clock::time_point start);

  // Counts bytes (of the answer's head or body) that arrived at now.
  void arrived(uint64_t bytes, Clock::time_point now);
  // How long the transfer may still wait for its next bytes; zero once it has stalled or passed
  // its deadline.
  Clock::duration left(Clock::time_point now) const;
  bool over(Clock::time_point now) const { return left(now) == Clock::duration::zero(); }

 private:
  Clock::duration stall_;  // zero: none
  Clock::time_point windowStart_;
  uint64_t windowBytes_ = 0;
  bool hasDeadline_;
  Clock::time_point deadline_;
};

}  // namespace velm
