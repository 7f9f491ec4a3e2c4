#include "ae/send_timing.h"

#include <climits>

namespace ae {

namespace {
constexpr long kDefaultTicks = 3600;
constexpr int kNoLimitMs = INT_MAX;  // the bus library's "no timeout"
}  // namespace

std::optional<ReplyDeadline> replyDeadline(long ticks) {
  if (ticks == kNoTimeOut) return ReplyDeadline{std::chrono::milliseconds::max(), true, kNoLimitMs};
  if (ticks == kAEDefaultTimeout) ticks = kDefaultTicks;
  if (ticks < 0) return std::nullopt;
  // Ticks to milliseconds, rounded up; anything near INT_MAX ms (24 days) is no limit.
  if (ticks >= static_cast<long long>(kNoLimitMs) / 1000 * 60) {
    return ReplyDeadline{std::chrono::milliseconds::max(), true, kNoLimitMs};
  }
  const long long ms = (static_cast<long long>(ticks) * 1000 + 59) / 60;
  const long long margin = ms / 16 + 2;
  if (ms + margin >= kNoLimitMs) return ReplyDeadline{std::chrono::milliseconds::max(), true, kNoLimitMs};
  return ReplyDeadline{std::chrono::milliseconds(ms), false, static_cast<int>(ms + margin)};
}

}  // namespace ae
