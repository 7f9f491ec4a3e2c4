// The update framework's public interface: one updater per installed bundle, a delegate
// that hears about the moments that matter, and a notification when a run ends.
//
// A run checks the bundle's feed (SUFeedURL in its Contents/Info.plist), and when a newer
// version is published, downloads it, checks its signature against the bundle's
// SUPublicEDKey, unpacks and checks it, and puts it in place of the installed bundle in one
// atomic step. Everything happens on the main thread's event loop; no call here blocks.
// docs/updater.md describes a run step by step.
#pragma once

#include "foundation/bundle.h"

#include <QObject>
#include <QString>

#include <memory>
#include <optional>

namespace updater {

struct AppcastItem;
class UpdateRun;
class UpdateUserInterface;

// One published version, as the feed describes it.
class SUAppcastItem {
 public:
  explicit SUAppcastItem(const AppcastItem& item);
  ~SUAppcastItem();
  SUAppcastItem(const SUAppcastItem&);
  SUAppcastItem& operator=(const SUAppcastItem&);

  QString versionString() const;         // machine version, compared with CFBundleVersion
  QString displayVersionString() const;  // the version users see
  QString title() const;
  QString itemDescription() const;       // inline release notes, may be empty
  QString releaseNotesURL() const;       // may be empty
  QString fileURL() const;               // the archive's address
  qint64 contentLength() const;          // the archive's declared length
  bool isCriticalUpdate() const;

 private:
  std::shared_ptr<const AppcastItem> item_;
};

class SUUpdater;

// Callbacks arrive on the main thread, during a run.
class SUUpdaterDelegate {
 public:
  virtual ~SUUpdaterDelegate() = default;
  // The run found no version newer than the installed one (or only a skipped one).
  virtual void updaterDidNotFindUpdate(SUUpdater* updater) { (void)updater; }
  // The update is downloaded, verified and unpacked and is about to replace the installed
  // bundle. Whatever must stop using the bundle stops here; the install waits for the return.
  virtual void updaterWillInstallUpdate(SUUpdater* updater, const SUAppcastItem& item) {
    (void)updater;
    (void)item;
  }
  // Asked once per install, before the swap: the application (a desktop entry's absolute
  // path) to start once the new bundle is in place, or nothing.
  virtual std::optional<QString> pathToRelaunchForUpdater(SUUpdater* updater) {
    (void)updater;
    return std::nullopt;
  }
};

// Posted through foundation::NSNotificationCenter::defaultCenter(), object = the updater,
// exactly once at the end of every run, however it ends: installed, nothing found, declined
// by the user, or failed.
inline const QString SUUpdateDriverFinishedNotification = QStringLiteral("SUUpdateDriverFinished");

class SUUpdater : public QObject {
  Q_OBJECT
 public:
  // The updater of the bundle at bundle.bundlePath(), created on first request and kept by
  // the library for the life of the process; callers hold no reference of their own.
  // Nothing when the bundle cannot be updated: no readable Contents/Info.plist, or one
  // without CFBundleIdentifier or CFBundleVersion.
  static SUUpdater* updaterForBundle(const foundation::NSBundle& bundle);

  void setDelegate(SUUpdaterDelegate* delegate);  // not owned; nullptr for none
  SUUpdaterDelegate* delegate() const { return delegate_; }

  // Starts a run that shows nothing unless it must ask the user (an update found while
  // SUAutomaticallyUpdate is off) and does not offer a version the user skipped.
  void checkForUpdatesInBackground();
  // Starts a run the user asked for: it shows what it finds, its progress and its errors.
  void checkForUpdates(QObject* sender);

  QString bundlePath() const { return bundlePath_; }
  // True while a run is going on; checks asked for meanwhile are ignored.
  bool isRunning() const;

  ~SUUpdater() override;

 private:
  explicit SUUpdater(const QString& bundlePath);
  void startRun(bool background);
  void runFinished();

  QString bundlePath_;
  SUUpdaterDelegate* delegate_ = nullptr;
  std::unique_ptr<UpdateUserInterface> interface_;
  UpdateRun* run_ = nullptr;  // deleted later, once it has ended
};

}  // namespace updater
