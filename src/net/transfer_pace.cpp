#include "net/transfer_pace.h"

#include <algorithm>

namespace velm {

TransferPace::TransferPace(uint32_t stallMs, uint32_t deadlineMs, Clock::time_point start)
    : stall_(std::chrono::milliseconds(stallMs)),
      windowStart_(start),
      hasDeadline_(deadlineMs != 0),
      deadline_(start + std::chrono::milliseconds(deadlineMs)) {}

void TransferPace::arrived(uint64_t bytes, Clock::time_point now) {
  windowBytes_ += bytes;
  if (windowBytes_ < kStallBytes) return;
  // A whole KiB made way: the next one has the whole stall time again.
  windowStart_ = now;
  windowBytes_ = 0;
}

TransferPace::Clock::duration TransferPace::left(Clock::time_point now) const {
  Clock::duration left = kNoLimit;
  if (stall_ != Clock::duration::zero()) left = windowStart_ + stall_ - now;
  if (hasDeadline_) left = std::min(left, deadline_ - now);
  return std::max(left, Clock::duration::zero());
}

}  // namespace velm
