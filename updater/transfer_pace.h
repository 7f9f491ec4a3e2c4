// How long a transfer may take and how slowly it may go, apart from its silence limit: a
// total deadline, and a floor under its average rate over a sliding window once a grace
// period has passed. An honest slow link above the floor is never cut; a server that drips
// a byte now and then, each inside the silence limit, is.
#pragma once

#include <QString>
#include <QtGlobal>

#include <chrono>
#include <deque>
#include <optional>
#include <utility>

namespace updater {

struct TransferPaceLimits {
  std::chrono::milliseconds totalDeadline{0};   // from the start; 0: none
  qint64 minBytesPerSecond = 1024;              // 0: no floor
  std::chrono::milliseconds rateGrace{20000};   // no floor before this much time has passed
  std::chrono::milliseconds rateWindow{60000};  // the average is over the last this long
};

class TransferPace {
 public:
  using Clock = std::chrono::steady_clock;

  TransferPace(const TransferPaceLimits& limits, Clock::time_point start);

  void received(qint64 bytes, Clock::time_point now);

  // Why the transfer must end at `now`, readable; nothing while it may go on. Times must
  // not go backwards from one call to the next.
  std::optional<QString> verdict(Clock::time_point now);

  // How often to ask for a verdict.
  std::chrono::milliseconds checkInterval() const;

 private:
  TransferPaceLimits limits_;
  Clock::time_point start_;
  qint64 total_ = 0;
  // (time, bytes received up to then), oldest first; the oldest is the last one at or
  // before the window's start, when there is one.
  std::deque<std::pair<Clock::time_point, qint64>> samples_;
};

}  // namespace updater
