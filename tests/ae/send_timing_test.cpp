// How long a waiting send waits for each timeout in ticks.
#include "ae/send_timing.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

using namespace std::chrono_literals;

TEST(ReplyDeadline, TicksAreSixtiethsOfASecondRoundedUp) {
  EXPECT_EQ(ae::replyDeadline(600)->wait, 10000ms);
  EXPECT_EQ(ae::replyDeadline(kAEDefaultTimeout)->wait, 60000ms);
  EXPECT_EQ(ae::replyDeadline(1)->wait, 17ms);
  EXPECT_EQ(ae::replyDeadline(0)->wait, 0ms);
}

TEST(ReplyDeadline, TheBusWaitsAtLeastAsLongButNotMuchLonger) {
  for (long ticks : {0L, 1L, 30L, 600L, 3600L, 1000000L}) {
    const auto deadline = ae::replyDeadline(ticks);
    ASSERT_TRUE(deadline && !deadline->unlimited);
    const auto wait = deadline->wait.count();
    // Margin for the bus library's coarse timers (up to 5 % early), and no more than ~6 %.
    EXPECT_GE(deadline->busTimeoutMs, wait + wait / 20 + 1) << ticks;
    EXPECT_LE(deadline->busTimeoutMs, wait + wait * 7 / 100 + 3) << ticks;
  }
}

TEST(ReplyDeadline, NoLimitAndInvalidTimeouts) {
  EXPECT_TRUE(ae::replyDeadline(kNoTimeOut)->unlimited);
  EXPECT_EQ(ae::replyDeadline(kNoTimeOut)->busTimeoutMs, INT_MAX);
  EXPECT_TRUE(ae::replyDeadline(LONG_MAX)->unlimited);  // no overflow on the way to milliseconds
  EXPECT_FALSE(ae::replyDeadline(-3));
  EXPECT_FALSE(ae::replyDeadline(LONG_MIN));
}

}  // namespace
