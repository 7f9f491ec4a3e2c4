// The rate floor and total deadline at their real values, on a simulated clock.
#include "updater/transfer_pace.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using updater::TransferPace;
using updater::TransferPaceLimits;
using Clock = TransferPace::Clock;

const Clock::time_point kStart = Clock::time_point() + 1h;

// Feeds `bytesPerTick` every `tick` until the pace gives a verdict or `limit` passes;
// the time of the verdict after the start, or nothing.
std::optional<Clock::duration> runUntilCut(TransferPace& pace, qint64 bytesPerTick, Clock::duration tick,
                                           Clock::duration limit, QString* why = nullptr) {
  for (Clock::time_point now = kStart; now - kStart <= limit; now += 100ms) {
    if ((now - kStart) % tick == Clock::duration(0)) pace.received(bytesPerTick, now);
    if (auto verdict = pace.verdict(now)) {
      if (why) *why = *verdict;
      return now - kStart;
    }
  }
  return std::nullopt;
}

TEST(TransferPace, ADripOfOneBytePerFiveSecondsIsCutOnceTheGraceIsOver) {
  TransferPace pace(TransferPaceLimits{}, kStart);
  QString why;
  const auto cut = runUntilCut(pace, 1, 5s, 10min, &why);
  ASSERT_TRUE(cut);
  EXPECT_EQ(*cut, 20s);
  EXPECT_EQ(why.toStdString(), "4 bytes in the last 20 s, below the floor of 1024 bytes/s");
}

TEST(TransferPace, AnHonestSlowLinkAboveTheFloorIsNeverCut) {
  TransferPace pace(TransferPaceLimits{}, kStart);
  EXPECT_FALSE(runUntilCut(pace, 2048, 1s, 30min));
}

TEST(TransferPace, TheWindowSlidesPastAFastStart) {
  TransferPace pace(TransferPaceLimits{}, kStart);
  Clock::time_point now = kStart;
  for (; now - kStart < 10s; now += 100ms) pace.received(100'000, now);
  // Then a drip: the fast start keeps the average up until it leaves the 60 s window.
  std::optional<Clock::duration> cut;
  for (; now - kStart <= 5min && !cut; now += 100ms) {
    if ((now - kStart) % 5s == Clock::duration(0)) pace.received(1, now);
    if (pace.verdict(now)) cut = now - kStart;
  }
  ASSERT_TRUE(cut);
  EXPECT_GT(*cut, 69s);
  EXPECT_LT(*cut, 71s);
}

TEST(TransferPace, TheTotalDeadlineEndsEvenAFastTransfer) {
  TransferPaceLimits limits;
  limits.totalDeadline = 60s;
  TransferPace pace(limits, kStart);
  QString why;
  EXPECT_EQ(runUntilCut(pace, 1'000'000, 100ms, 10min, &why), std::optional<Clock::duration>(60s));
  EXPECT_EQ(why.toStdString(), "not complete within 60 s");
}

TEST(TransferPace, NoFloorMeansOnlyTheDeadline) {
  TransferPaceLimits limits;
  limits.minBytesPerSecond = 0;
  TransferPace pace(limits, kStart);
  EXPECT_FALSE(runUntilCut(pace, 0, 1s, 10min));
}

}  // namespace
