// How long a waiting send waits, from its timeout in ticks (1/60 s).
#pragma once

#include "ae/AppleEvents.h"

#include <chrono>
#include <optional>

namespace ae {

struct ReplyDeadline {
  std::chrono::milliseconds wait{0};  // the promised wait; meaningless when unlimited
  bool unlimited = false;
  // What the bus library is given. The sender keeps `wait` itself; the library's timers may
  // fire 5 % early, so it gets a margin on top and only cleans up after the sender gave up.
  int busTimeoutMs = 0;
};

// kAEDefaultTimeout is 3600 ticks and kNoTimeOut no limit; other negative values have no
// deadline (nothing is returned).
std::optional<ReplyDeadline> replyDeadline(long timeOutInTicks);

}  // namespace ae
