#include "updater/transfer_pace.h"

#include <algorithm>

namespace updater {

namespace {

using std::chrono::milliseconds;

QString seconds(milliseconds duration) { return QString::number(duration.count() / 1000.0, 'g', 4); }

}  // namespace

TransferPace::TransferPace(const TransferPaceLimits& limits, Clock::time_point start)
    : limits_(limits), start_(start) {}

void TransferPace::received(qint64 bytes, Clock::time_point now) {
  total_ += bytes;
  // Samples closer together than a six-hundredth of the window are merged: a fast link
  // keeps a few hundred, not one per read.
  const auto spacing = std::max(limits_.rateWindow / 600, milliseconds(1));
  if (!samples_.empty() && now - samples_.back().first < spacing) {
    samples_.back().second = total_;
  } else {
    samples_.emplace_back(now, total_);
  }
}

std::optional<QString> TransferPace::verdict(Clock::time_point now) {
  const auto elapsed = std::chrono::duration_cast<milliseconds>(now - start_);
  if (limits_.totalDeadline > milliseconds(0) && elapsed >= limits_.totalDeadline) {
    return QStringLiteral("not complete within %1 s").arg(seconds(limits_.totalDeadline));
  }
  if (limits_.minBytesPerSecond <= 0 || elapsed < limits_.rateGrace || elapsed <= milliseconds(0)) {
    return std::nullopt;
  }
  const milliseconds window = std::min(elapsed, limits_.rateWindow);
  const Clock::time_point from = now - window;
  while (samples_.size() >= 2 && samples_[1].first <= from) samples_.pop_front();
  const qint64 before = !samples_.empty() && samples_.front().first <= from ? samples_.front().second : 0;
  const qint64 inWindow = total_ - before;
  if (inWindow * 1000 >= limits_.minBytesPerSecond * window.count()) return std::nullopt;
  return QStringLiteral("%1 bytes in the last %2 s, below the floor of %3 bytes/s")
      .arg(inWindow)
      .arg(seconds(window))
      .arg(limits_.minBytesPerSecond);
}

milliseconds TransferPace::checkInterval() const {
  return std::clamp(limits_.rateGrace / 20, milliseconds(20), milliseconds(1000));
}

}  // namespace updater
