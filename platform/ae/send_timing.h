// How long a waiting send waits, from its timeout in ticks (1/60 s).
#pragma once

#include "ae/AppleEvents.h"

#include <chrono>
#include <optional>

namespace ae {

struct ReplyDeadline {
  std::chrono::milliseconds wait{0};  // the promised wait; meaningless when unlimited
  bool unlimited = false;
  // What the bus library is given. Its timers may fire a little early, so it gets a margin
  // on top of `wait`: a waiting send must never time out before its time.
  int busTimeoutMs = 0;
};

// kAEDefaultTimeout is 3600 ticks and kNoTimeOut no limit; other negative values have no
// deadline (nothing is returned).
std::optional<ReplyDeadline> replyDeadline(long timeOutInTicks);

}  // namespace ae
