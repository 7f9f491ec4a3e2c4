// Watching an updater's runs from the outside, as its users do: the delegate calls in the
// order they came, and the end-of-run notifications.
#pragma once

#include "updater/SUUpdater.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class RecordingDelegate : public updater::SUUpdaterDelegate {
 public:
  void updaterDidNotFindUpdate(updater::SUUpdater*) override { calls << QStringLiteral("didNotFind"); }
  void updaterWillInstallUpdate(updater::SUUpdater*, const updater::SUAppcastItem& item) override {
    calls << QStringLiteral("willInstall ") + item.versionString();
    if (onWillInstall) onWillInstall();
  }
  std::optional<QString> pathToRelaunchForUpdater(updater::SUUpdater*) override {
    calls << QStringLiteral("pathToRelaunch");
    return relaunchPath;
  }

  QStringList calls;
  std::optional<QString> relaunchPath;
  std::function<void()> onWillInstall;
};

// Counts "SUUpdateDriverFinished" from one updater; runs `onFinished` at each.
class FinishedCounter {
 public:
  explicit FinishedCounter(updater::SUUpdater* updater);
  ~FinishedCounter();
  int count() const { return count_; }
  // Waits for the next notification (up to timeoutMs); false when none came.
  bool waitForFinish(int timeoutMs = 30000);
  std::function<void()> onFinished;

 private:
  updater::SUUpdater* updater_;
  int count_ = 0;
};

// The updater for a bundle path (a fresh path gives a fresh updater).
updater::SUUpdater* updaterAt(const QString& bundlePath);
