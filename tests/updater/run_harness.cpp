#include "run_harness.h"

#include "test_support.h"

#include "foundation/notification_center.h"

FinishedCounter::FinishedCounter(updater::SUUpdater* updater) : updater_(updater) {
  foundation::NSNotificationCenter::defaultCenter().addObserverSelectorNameObject(
      this,
      [this](const foundation::NSNotification& notification) {
        if (notification.object() != updater_) return;
        ++count_;
        if (onFinished) onFinished();
      },
      updater::SUUpdateDriverFinishedNotification, nullptr);
}

FinishedCounter::~FinishedCounter() {
  foundation::NSNotificationCenter::defaultCenter().removeObserver(this);
}

bool FinishedCounter::waitForFinish(int timeoutMs) {
  const int before = count_;
  return waitUntil([&] { return count_ > before; }, timeoutMs);
}

updater::SUUpdater* updaterAt(const QString& bundlePath) {
  std::optional<foundation::NSBundle> bundle = foundation::NSBundle::bundleWithPath(bundlePath);
  if (!bundle) return nullptr;
  return updater::SUUpdater::updaterForBundle(*bundle);
}
