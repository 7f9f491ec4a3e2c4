// One run of an updater, from the feed to the relaunch, as an event-driven sequence of
// steps on the main thread. The slow, blocking steps (signature check, unpacking, the
// swap) run on a worker thread; the run waits for them without blocking the event loop.
//
//   leftovers cleaned → feed fetched and checked → an item for this installation
//   (core/item_selection.h: channels, rollout group, skipped version, ...)?
//     no  → [foreground: "up to date"] → updaterDidNotFindUpdate → end
//     informational (foreground only) → announce it (Learn More / Remind Me Later) → end
//     yes → background with SUAutomaticallyUpdate, unless the item asks first: go on
//           silently; otherwise offer it (Install / Skip This Version / Remind Me Later)
//         → archive downloaded into a private staging folder next to the bundle
//         → signature verified → unpacked → the new bundle checked against the installed one
//         → installation lock taken, installed version read again: still older?
//             no  → log line naming both versions → end
//         → updaterWillInstallUpdate → pathToRelaunchForUpdater → atomic swap → lock released
//         → relaunch, waiting (bounded) until the application is on the bus → end
//   Once the delegate was told of the installation, a run that fails still relaunches.
//
// Every way out goes through end(), which tidies up and tells the updater exactly once.
// Failures fail closed: a log line, an error window when the user is watching, and the
// installed bundle untouched.
#pragma once

#include "updater/core/appcast.h"
#include "updater/core/bundle_info.h"
#include "updater/core/item_selection.h"
#include "updater/core/staging_area.h"
#include "updater/core/streaming_signature_verifier.h"
#include "updater/download.h"
#include "updater/feed_cache.h"
#include "updater/kept_download.h"

#include "network/network_state.h"

#include "foundation/file_lock.h"

#include <QNetworkAccessManager>
#include <QObject>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

namespace updater {

class SUUpdater;
class UpdateUserInterface;
class RelaunchWatcher;

struct RunSettings {
  DownloadLimits feedLimits;               // maxBytes defaults to the feed cap
  DownloadLimits archiveLimits;            // maxBytes: ceiling on any declared length
  DownloadLimits releaseNotesLimits;
  int relaunchWaitMs = 5000;               // how long to wait for the relaunched application
  std::function<QDateTime()> now;          // UTC clock for feed expiry and rollouts; system clock when empty
  RunSettings();
};

class UpdateRun : public QObject {
  Q_OBJECT
 public:
  enum class Outcome { Installed, NothingFound, Declined, Failed };

  // `updater` and `ui` must outlive the run. `ended` is called once, from end().
  UpdateRun(SUUpdater& updater, UpdateUserInterface& ui, bool background,
            const RunSettings& settings, std::function<void(Outcome)> ended);
  ~UpdateRun() override;

  // Begins the run on the next turn of the event loop.
  void start();

 private:
  void checkFeed();
  void fetchFeed();
  void onFeed(const DownloadResult& result);
  void nothingFound();
  void offer();
  void onReleaseNotes(const DownloadResult& result);
  void onChoice(int choice);
  void openInformationalLink();
  void downloadArchive();
  // What a worker step hands back to the main thread.
  struct StepResult {
    QString error;  // empty on success
    QString path;
  };
  // Downloads into the staging area's fileName; false when the download could not start and the
  // run has moved on (for a delta, to the full archive).
  bool startDownload(const QString& address, qint64 length, const QString& fileName,
                     std::function<void(const DownloadResult&)> done, bool isDelta);
  void onDelta(const DownloadResult& result);
  void fallBackToFullArchive(const QString& why);
  void runStep(std::function<StepResult()> work, std::function<void(const StepResult&)> done);
  void onArchive(const DownloadResult& result);
  void onArchiveAnswer(const ResponseStart& answer);
  void onArchiveRefused(const QString& error);
  DownloadIdentity archiveIdentity() const;
  void onUnpacked(const QString& error, const QString& extractedBundle);
  void install(const QString& extractedBundle);
  void installLocked(const QString& extractedBundle);
  void onInstalled(const QString& error);
  // Starts the application named for relaunch (once), then next(), when it is up or the wait is over.
  void relaunchThen(std::function<void()> next);
  void fail(const QString& message);
  void abandonDownloads();
  void end(Outcome outcome);
  void showProgress(const QString& status, qint64 done, qint64 total, bool cancellable);
  QString productName() const;
  QUrl resolve(const QString& address) const;

  SUUpdater& updater_;
  UpdateUserInterface& ui_;
  const bool background_;
  RunSettings settings_;
  std::function<void(Outcome)> ended_;

  QNetworkAccessManager network_;
  // Let go of with Download::abandon(): they may be on the stack when the run moves on.
  Download* download_ = nullptr;
  Download* releaseNotes_ = nullptr;
  std::unique_ptr<RelaunchWatcher> relaunch_;
  // The delegate's answer, asked for once it was told of the installation (and closed what
  // uses the bundle): what is started again however the run ends.
  std::optional<QString> relaunchPath_;
  std::optional<foundation::FileLock> installLock_;  // from the re-check until the exchange is on disk
  std::optional<StagingArea> staging_;
  std::optional<StreamingSignatureVerifier> verifier_;  // hashes the archive as it arrives
  std::optional<KeptDownload> kept_;  // where the archive goes when it can be kept across runs
  bool resumed_ = false;              // the download continues a kept part
  bool wholeRetried_ = false;         // a resumed archive was refused and fetched whole
  network::NetworkState networkState_;  // as the desktop says at the start of the run
  BundleInfo installed_;
  QUrl feedUrl_;
  std::optional<FeedCache> feedCache_;
  std::optional<KeptFeed> keptFeed_;  // the feed the last accepted check read, while it may serve
  std::optional<AppcastItem> item_;
  std::optional<AppcastDelta> delta_;  // the delta being tried, if any
  bool deltaTried_ = false;
  ItemSelection selection_;
  bool interactive_ = false;  // the user is watching: show progress and errors
  bool cancelled_ = false;
  bool ended_once_ = false;
};

}  // namespace updater
