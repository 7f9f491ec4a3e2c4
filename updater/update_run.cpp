#include "updater/update_run.h"

#include "updater/SUUpdater.h"
#include "updater/core/bundle_installer.h"
#include "updater/core/delta_preparation.h"
#include "updater/core/ed25519_signing.h"
#include "updater/core/signed_feed.h"
#include "updater/core/update_preparation.h"
#include "updater/core/version_comparison.h"
#include "updater/feed_trust.h"
#include "updater/relaunch_watcher.h"
#include "updater/skipped_version.h"
#include "updater/update_user_interface.h"
#include "updater/update_settings.h"
#include "updater/proxy_chooser.h"
#include "updater/url_policy.h"

#include "appkit/workspace.h"
#include "foundation/file_lock.h"
#include "foundation/log.h"

#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QFutureWatcher>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>

namespace updater {

namespace {

// No archive is accepted above this, whatever a feed declares.
constexpr qint64 kMaxArchiveBytes = qint64{2} * 1024 * 1024 * 1024;
constexpr qint64 kMaxReleaseNotesBytes = 1024 * 1024;
constexpr std::chrono::seconds kMaxFeedOrNotesTime{60};
// Another installation holds the lock for its exchange and for Mail's answer to its quit request
// (at most 10 s); a removal, for its deletions.
constexpr std::chrono::seconds kInstallationLockWait{60};
// Above this, a background check leaves a download for a network that is not metered.
constexpr qint64 kMeteredDownloadLimit = 1024 * 1024;

}  // namespace

RunSettings::RunSettings() {
  // A feed or release notes that never finish would hold the run, and every later check,
  // for ever; an archive may take as long as it stays above the rate floor.
  feedLimits.pace.totalDeadline = kMaxFeedOrNotesTime;
  releaseNotesLimits.pace.totalDeadline = kMaxFeedOrNotesTime;
  feedLimits.maxBytes = kMaxFeedBytes;
  archiveLimits.maxBytes = kMaxArchiveBytes;
  releaseNotesLimits.maxBytes = kMaxReleaseNotesBytes;
}

UpdateRun::UpdateRun(SUUpdater& updater, UpdateUserInterface& ui, bool background,
                     const RunSettings& settings, std::function<void(Outcome)> ended)
    : updater_(updater),
      ui_(ui),
      background_(background),
      settings_(settings),
      ended_(std::move(ended)),
      interactive_(!background) {
  network_.setProxyFactory(new EnvironmentProxyFactory);  // read afresh for each run
}

UpdateRun::~UpdateRun() = default;

void UpdateRun::start() {
  QTimer::singleShot(0, this, &UpdateRun::checkFeed);
}

QString UpdateRun::productName() const {
  return QFileInfo(updater_.bundlePath()).completeBaseName();
}

QUrl UpdateRun::resolve(const QString& address) const {
  return feedUrl_.resolved(QUrl(address.trimmed()));
}

void UpdateRun::checkFeed() {
  networkState_ = network::currentNetworkState();
  if (background_ && networkState_.connectivity == network::Connectivity::None) {
    foundation::NSLog(QStringLiteral("Update: no network connection; the check waits for the next one"));
    nothingFound();
    return;
  }
  const QString bundlePath = updater_.bundlePath();
  // A run that was interrupted (crash, power loss) may have left a staging folder behind.
  const Result<int> cleaned = cleanLeftovers(bundlePath);
  if (!cleaned) {
    foundation::NSLog(QStringLiteral("Update: could not remove leftovers of an earlier run: %@"),
                      cleaned.error().message);
  }

  // Read afresh each run: the last run may have replaced the bundle.
  Result<BundleInfo> info = readBundleInfo(bundlePath);
  if (!info) {
    fail(QStringLiteral("cannot read the installed bundle: %1").arg(info.error().message));
    return;
  }
  installed_ = std::move(info).value();
  if (installed_.feedURL.trimmed().isEmpty()) {
    fail(QStringLiteral("%1 names no update feed (SUFeedURL)").arg(bundlePath));
    return;
  }
  feedUrl_ = QUrl(installed_.feedURL.trimmed());
  feedCache_.emplace(installed_.identifier);
  keptFeed_ = feedCache_->load(feedUrl_);
  fetchFeed();
}

void UpdateRun::fetchFeed() {
  if (download_) download_->abandon();  // the refused answer's, when the kept feed failed
  download_ = new Download(network_, feedUrl_, settings_.feedLimits, this);
  if (keptFeed_) FeedCache::askIfChanged(*download_, *keptFeed_);
  download_->start([this](const DownloadResult& result) { onFeed(result); });
}

void UpdateRun::onFeed(const DownloadResult& result) {
  if (!result.ok) {
    fail(QStringLiteral("cannot fetch the update feed: %1").arg(result.error));
    return;
  }
  const QDateTime now = settings_.now ? settings_.now() : QDateTime::currentDateTimeUtc();
  // An unchanged feed is checked as if it had just arrived: it may have expired since, or its
  // serial or key statements no longer pass what this installation has seen.
  const bool kept = result.notModified && keptFeed_;
  Result<AcceptedFeed> feed = acceptFeed(installed_, feedUrl_.toString(), kept ? keptFeed_->body : result.data, now);
  if (!feed && kept) {
    foundation::NSLog(QStringLiteral("Update: the kept copy of the unchanged feed was refused (%@); fetching it whole"),
                      feed.error().message);
    feedCache_->drop();
    keptFeed_.reset();
    fetchFeed();
    return;
  }
  if (!feed) {
    fail(QStringLiteral("the update feed was refused: %1").arg(feed.error().message));
    return;
  }
  // The feed's key statements may have moved the key on from the bundle's own: from here on,
  // every archive and delta is checked against the key in force.
  installed_.publicEDKey = feed->keyInForce;
  if (!kept) {
    if (Status saved = feedCache_->keep({feedUrl_, result.data, result.etag, result.lastModified}); !saved)
      foundation::NSLog(QStringLiteral("Update: the feed is fetched whole next time: %@"), saved.error().message);
  }
  // The group is drawn (and stored) the first time a feed phases an item, not before.
  const bool phased = std::any_of(feed->appcast.items.begin(), feed->appcast.items.end(),
                                  [](const AppcastItem& item) { return !item.phasedRolloutInterval.isEmpty(); });
  const Installation installation{installed_.version, allowedChannels(installed_.identifier),
                                  phased ? updateGroup(installed_.identifier) : 0, skippedVersion(installed_.identifier)};
  selection_ = selectItem(feed->appcast, installation, background_ ? CheckKind::Background : CheckKind::UserAsked, now);
  for (const QString& warning : selection_.warnings) foundation::NSLog(QStringLiteral("Update: %@"), warning);
  if (selection_.heldBackVersion) {
    foundation::NSLog(QStringLiteral("Update: version %@ is being rolled out in stages; this installation (group %@) gets it from %@"),
                      *selection_.heldBackVersion, installation.group,
                      selection_.heldBackUntil.toString(Qt::ISODate));
  }
  item_ = selection_.item;
  // Kept parts of anything but the archive on offer will never be finished.
  KeptDownload::pruneExcept(installed_.identifier, selection_.kind == OfferKind::Update
                                                       ? QStringList{KeptDownload::nameFor(archiveIdentity())}
                                                       : QStringList());
  if (selection_.kind == OfferKind::Nothing) {
    nothingFound();
    return;
  }
  if (selection_.kind == OfferKind::Informational) {
    offer();  // only a check the user asked for announces one
    return;
  }
  // Nothing unverifiable is offered: without a usable key the update could never be checked.
  if (Result<PublicKey> key = decodePublicKey(installed_.publicEDKey); !key) {
    fail(QStringLiteral("version %1 is available but cannot be verified: %2")
             .arg(item_->displayVersionString, key.error().message));
    return;
  }
  if (background_ && installed_.automaticallyUpdate && !selection_.asksBeforeInstall) {
    downloadArchive();
  } else {
    offer();
  }
}

void UpdateRun::nothingFound() {
  if (interactive_) {
    ui_.showUpToDate(productName(), installed_.shortVersion.isEmpty() ? installed_.version
                                                                       : installed_.shortVersion);
  }
  if (SUUpdaterDelegate* delegate = updater_.delegate()) delegate->updaterDidNotFindUpdate(&updater_);
  end(Outcome::NothingFound);
}

void UpdateRun::offer() {
  interactive_ = true;
  UpdateOffer offer;
  offer.productName = productName();
  offer.installedVersion =
      installed_.shortVersion.isEmpty() ? installed_.version : installed_.shortVersion;
  offer.newVersion = item_->displayVersionString;
  offer.critical = selection_.critical;
  offer.informational = selection_.kind == OfferKind::Informational;
  ui_.offerUpdate(offer, [this](UpdateChoice choice) { onChoice(static_cast<int>(choice)); });

  QString why;
  const QUrl notes = resolve(item_->releaseNotesURL);
  if (!item_->releaseNotesURL.trimmed().isEmpty() && !isAllowedLink(feedUrl_, notes, &why)) {
    foundation::NSLog(QStringLiteral("Update: release notes not loaded: %@"), why);
    ui_.showReleaseNotes(tr("The release notes could not be loaded."), false);
  } else if (!item_->releaseNotesURL.trimmed().isEmpty()) {
    releaseNotes_ = new Download(network_, notes, settings_.releaseNotesLimits, this);
    releaseNotes_->start([this](const DownloadResult& r) { onReleaseNotes(r); });
  } else if (!item_->itemDescription.trimmed().isEmpty()) {
    ui_.showReleaseNotes(item_->itemDescription, true);
  } else {
    ui_.showReleaseNotes(tr("No release notes were published for this version."), false);
  }
}

void UpdateRun::onReleaseNotes(const DownloadResult& result) {
  releaseNotes_->deleteLater();
  releaseNotes_ = nullptr;
  if (result.ok) {
    ui_.showReleaseNotes(QString::fromUtf8(result.data), true);
  } else if (!item_->itemDescription.trimmed().isEmpty()) {
    ui_.showReleaseNotes(item_->itemDescription, true);
  } else {
    foundation::NSLog(QStringLiteral("Update: release notes unavailable: %@"), result.error);
    ui_.showReleaseNotes(tr("The release notes could not be loaded."), false);
  }
}

void UpdateRun::onChoice(int choice) {
  if (releaseNotes_) releaseNotes_->abandon();
  releaseNotes_ = nullptr;
  switch (static_cast<UpdateChoice>(choice)) {
    case UpdateChoice::Install:
      downloadArchive();
      return;
    case UpdateChoice::SkipThisVersion:
      if (Status saved = rememberSkippedVersion(installed_.identifier, item_->versionString); !saved) {
        foundation::NSLog(QStringLiteral("Update: could not remember the skipped version %@: %@"),
                          item_->versionString, saved.error().message);
      }
      end(Outcome::Declined);
      return;
    case UpdateChoice::RemindMeLater:
      end(Outcome::Declined);
      return;
    case UpdateChoice::LearnMore:
      openInformationalLink();
      end(Outcome::Declined);
      return;
  }
}

void UpdateRun::openInformationalLink() {
  const QString address = !item_->link.trimmed().isEmpty() ? item_->link : item_->releaseNotesURL;
  const QUrl link = resolve(address);
  // Only web pages: a feed must not make the desktop open files or other applications' schemes.
  if (address.trimmed().isEmpty() || (link.scheme() != u"https" && link.scheme() != u"http")) {
    foundation::NSLog(QStringLiteral("Update: version %@ names no web page to open (\"%@\")"),
                      item_->displayVersionString, address);
    return;
  }
  appkit::NSWorkspace::sharedWorkspace().openURL(link);
}

void UpdateRun::showProgress(const QString& status, qint64 done, qint64 total, bool cancellable) {
  if (!interactive_) return;
  std::function<void()> cancel;
  if (cancellable) {
    cancel = [this] {
      cancelled_ = true;
      if (download_) download_->cancel(QStringLiteral("cancelled by the user"));
    };
  }
  ui_.showProgress(status, done, total, std::move(cancel));
}

void UpdateRun::downloadArchive() {
  // A delta from exactly the installed version is tried first, once; whatever goes wrong with it
  // brings the run back here for the full archive.
  if (!deltaTried_) {
    deltaTried_ = true;
    if (const AppcastDelta* delta = item_->deltaFrom(installed_.version)) {
      delta_ = *delta;
      if (startDownload(delta_->fileURL, delta_->contentLength, QStringLiteral("delta"),
                        [this](const DownloadResult& result) { onDelta(result); }, true)) {
        return;
      }
    }
  }
  startDownload(item_->fileURL, item_->contentLength, QStringLiteral("archive"),
                [this](const DownloadResult& result) { onArchive(result); }, false);
}

bool UpdateRun::startDownload(const QString& address, qint64 length, const QString& fileName,
                              std::function<void(const DownloadResult&)> done, bool isDelta) {
  auto refuse = [&](const QString& why) {
    if (isDelta) {
      fallBackToFullArchive(why);
    } else {
      fail(QStringLiteral("version %1 %2").arg(item_->displayVersionString, why));
    }
    return isDelta;  // a delta's refusal has already moved on to the full archive
  };
  if (length <= 0 || length > settings_.archiveLimits.maxBytes) {
    return refuse(QStringLiteral("declares an unacceptable size (%1 bytes)").arg(length));
  }
  const bool metered = networkState_.metered == network::Metered::Yes && length > kMeteredDownloadLimit;
  if (metered && !interactive_) {
    foundation::NSLog(QStringLiteral("Update: version %@ (%@ bytes to download) waits for a network that is not metered"),
                      item_->displayVersionString, length);
    nothingFound();
    return true;
  }
  const QUrl url = resolve(address);
  if (QString why; !isAllowedLink(feedUrl_, url, &why)) return refuse(QStringLiteral("cannot be downloaded: %1").arg(why));
  // A fresh staging area for each download: a failed delta leaves nothing the archive could trip on.
  staging_.reset();
  Result<StagingArea> staging = StagingArea::create(updater_.bundlePath());
  if (!staging) {
    fail(QStringLiteral("cannot prepare a folder for the download: %1").arg(staging.error().message));
    return true;
  }
  staging_.emplace(std::move(staging).value());
  if (!isDelta) {
    // The signature is hashed while the archive arrives; nothing in it is parsed before finish().
    // (A delta, small, is checked as a whole file before it is read.)
    Result<StreamingSignatureVerifier> verifier =
        StreamingSignatureVerifier::create(item_->edSignature, *decodePublicKey(installed_.publicEDKey));
    if (!verifier) {
      fail(QStringLiteral("version %1 was not installed: %2").arg(item_->displayVersionString, verifier.error().message));
      return true;
    }
    verifier_.emplace(std::move(verifier).value());
    // Deltas are small and fetched again whole; only the full archive is kept across runs.
    resumed_ = false;
    kept_.reset();
    if (Result<KeptDownload> kept = KeptDownload::open(installed_.identifier, archiveIdentity())) {
      kept_.emplace(std::move(kept).value());
    } else {
      foundation::NSLog(QStringLiteral("Update: the download of version %@ is not kept across runs: %@"),
                        item_->displayVersionString, kept.error().message);
    }
  }

  DownloadLimits limits = settings_.archiveLimits;
  limits.maxBytes = length;
  limits.exactBytes = length;
  if (download_) download_->abandon();
  download_ = new Download(network_, url, limits, this);
  foundation::FileDescriptor keptFile = kept_ && !isDelta ? kept_->writableFile() : foundation::FileDescriptor();
  if (keptFile) {
    download_->setKeptDestination(std::move(keptFile), kept_->path(), kept_->keptBytes(), kept_->validator());
    download_->setResponseHandler([this](const ResponseStart& answer) { onArchiveAnswer(answer); });
  } else {
    kept_.reset();
    download_->setDestinationFile(staging_->filePath(fileName));
  }
  if (!isDelta) download_->setBodyObserver([this](const QByteArray& chunk) { verifier_->update(chunk); });
  // The size shown is what actually comes down the wire: the delta's, when there is one.
  const QString size = QLocale().formattedDataSize(length);
  const QString status = metered ? tr("Downloading update (%1) over a metered connection…").arg(size)
                                 : tr("Downloading update (%1)…").arg(size);
  if (metered) {
    foundation::NSLog(QStringLiteral("Update: downloading %@ bytes of version %@ over a metered connection, as asked"),
                      length, item_->displayVersionString);
  }
  download_->setProgressHandler([this, status](qint64 received, qint64 total) { showProgress(status, received, total, true); });
  showProgress(status, 0, length, true);
  download_->start(std::move(done));
  return true;
}

void UpdateRun::fallBackToFullArchive(const QString& why) {
  foundation::NSLog(QStringLiteral("Update: the delta to version %@ was not used (%@); downloading the full archive"),
                    item_->displayVersionString, why);
  staging_.reset();
  downloadArchive();
}

void UpdateRun::onDelta(const DownloadResult& result) {
  if (!result.ok) {
    if (cancelled_) {
      end(Outcome::Declined);
      return;
    }
    fallBackToFullArchive(QStringLiteral("cannot download it: %1").arg(result.error));
    return;
  }
  showProgress(tr("Verifying update…"), -1, -1, false);
  const QString deltaPath = staging_->filePath(QStringLiteral("delta"));
  const StagingArea* staging = &*staging_;  // stays put until the worker has answered
  const AppcastDelta delta = *delta_;
  const QString installedPath = updater_.bundlePath();
  const BundleInfo installed = installed_;
  runStep([=]() -> StepResult {
    Result<PreparedUpdate> prepared = prepareDeltaUpdate(*staging, deltaPath, delta, installedPath, installed);
    if (!prepared) return {prepared.error().message, {}};
    QFile::remove(deltaPath);
    return {{}, prepared->bundlePath};
  }, [this](const StepResult& step) {
    if (!step.error.isEmpty()) {
      fallBackToFullArchive(step.error);
      return;
    }
    foundation::NSLog(QStringLiteral("Update: version %@ built from a delta of %@ bytes (the full archive has %@)"),
                      item_->displayVersionString, delta_->contentLength, item_->contentLength);
    install(step.path);
  });
}

DownloadIdentity UpdateRun::archiveIdentity() const {
  return {resolve(item_->fileURL).toString(), item_->contentLength, item_->edSignature};
}

void UpdateRun::onArchiveAnswer(const ResponseStart& answer) {
  resumed_ = answer.resumed;
  if (resumed_) {
    foundation::NSLog(QStringLiteral("Update: resuming the download of version %@ after %@ of %@ bytes"),
                      item_->displayVersionString, kept_->keptBytes(), item_->contentLength);
    // The signature covers the whole archive: what is kept is hashed before the rest arrives.
    if (Status read = kept_->readKeptPart([this](const QByteArray& bytes) { verifier_->update(bytes); }); !read) {
      download_->cancel(read.error().message);
      return;
    }
  }
  if (Status recorded = kept_->recordAnswer(answer); !recorded)
    foundation::NSLog(QStringLiteral("Update: an interrupted download would start over: %@"), recorded.error().message);
}

void UpdateRun::onArchiveRefused(const QString& error) {
  const bool retry = kept_ && resumed_ && !wholeRetried_;
  // Bytes that failed the check are never kept, nor resumed from.
  if (kept_) kept_->discard();
  kept_.reset();
  if (!retry) {
    fail(QStringLiteral("version %1 was not installed: %2").arg(item_->displayVersionString, error));
    return;
  }
  foundation::NSLog(QStringLiteral("Update: the resumed download of version %@ was refused (%@); downloading it whole"),
                    item_->displayVersionString, error);
  wholeRetried_ = true;
  startDownload(item_->fileURL, item_->contentLength, QStringLiteral("archive"),
                [this](const DownloadResult& result) { onArchive(result); }, false);
}

void UpdateRun::onArchive(const DownloadResult& result) {
  if (!result.ok) {
    if (cancelled_) {
      end(Outcome::Declined);
      return;
    }
    fail(QStringLiteral("cannot download version %1: %2")
             .arg(item_->displayVersionString, result.error));
    return;
  }
  showProgress(tr("Verifying update…"), -1, -1, false);

  const QString archive = kept_ ? kept_->path() : staging_->filePath(QStringLiteral("archive"));
  const StagingArea* staging = &*staging_;  // these stay put until the worker has answered
  StreamingSignatureVerifier* verifier = &*verifier_;
  const AppcastItem item = *item_;
  const BundleInfo installed = installed_;
  // Signature, then unpacking, then the unpacked bundle's identity and version.
  runStep([=]() -> StepResult {
    Result<PreparedUpdate> prepared = prepareUpdate(*staging, archive, *verifier, item, installed);
    if (!prepared) return {prepared.error().message, {}};
    // Unpacked, the archive is of no more use; gone now, its pages are never written back
    // when the install flushes the new bundle to disk.
    QFile::remove(archive);
    return {{}, prepared->bundlePath};
  }, [this](const StepResult& step) {
    if (!step.error.isEmpty()) {
      onArchiveRefused(step.error);
      return;
    }
    if (kept_) kept_->discard();
    kept_.reset();
    onUnpacked(step.error, step.path);
  });
}

void UpdateRun::runStep(std::function<StepResult()> work, std::function<void(const StepResult&)> done) {
  auto* watcher = new QFutureWatcher<StepResult>(this);
  connect(watcher, &QFutureWatcher<StepResult>::finished, this, [watcher, done = std::move(done)] {
    const StepResult step = watcher->result();
    watcher->deleteLater();
    done(step);
  });
  watcher->setFuture(QtConcurrent::run(std::move(work)));
}

void UpdateRun::onUnpacked(const QString& error, const QString& extractedBundle) {
  if (!error.isEmpty()) {
    fail(QStringLiteral("version %1 was not installed: %2").arg(item_->displayVersionString, error));
    return;
  }
  install(extractedBundle);
}

void UpdateRun::install(const QString& extractedBundle) {
  // An installed bundle must name the key its settings hold in force.
  if (Status agrees = checkNewBundleAgainstKeyInForce(extractedBundle, installed_.publicEDKey); !agrees) {
    fail(QStringLiteral("version %1 was not installed: %2").arg(item_->displayVersionString, agrees.error().message));
    return;
  }
  showProgress(tr("Installing update…"), -1, -1, false);
  // Another login's agent may be installing over the same bundle, or a removal deleting it: every
  // change to it is made under one lock, held until the exchange is on disk, and whether this
  // update is still newer is decided again under it.
  const QString lockPath = foundation::installationLockPathForBundle(updater_.bundlePath());
  foundation::FileLock::lockWhenFree(lockPath, kInstallationLockWait, this,
                                     [this, extractedBundle](std::optional<foundation::FileLock> lock,
                                                             const foundation::NSError& error) {
    if (ended_once_) return;
    if (!lock) {
      fail(QStringLiteral("version %1 was not installed: another installation is in the way (%2)")
               .arg(item_->displayVersionString, error.localizedDescription()));
      return;
    }
    installLock_ = std::move(lock);
    installLocked(extractedBundle);
  });
}

void UpdateRun::installLocked(const QString& extractedBundle) {
  const QString installedPath = updater_.bundlePath();
  Result<BundleInfo> current = readBundleInfo(installedPath);
  if (!current) {
    fail(QStringLiteral("version %1 was not installed: cannot read the installed bundle: %2")
             .arg(item_->displayVersionString, current.error().message));
    return;
  }
  Result<BundleInfo> fresh = readBundleInfo(extractedBundle);
  if (!fresh) {
    fail(QStringLiteral("version %1 was not installed: %2").arg(item_->displayVersionString, fresh.error().message));
    return;
  }
  if (current->identifier != fresh->identifier) {
    fail(QStringLiteral("version %1 was not installed: %2 now holds %3")
             .arg(item_->displayVersionString, installedPath, current->identifier));
    return;
  }
  if (compareVersions(fresh->version, current->version) <= 0) {
    foundation::NSLog(QStringLiteral("Update: version %@ of %@ was not installed: version %@ was installed meanwhile"),
                      fresh->version, productName(), current->version);
    if (interactive_) {
      ui_.close();
      ui_.showUpToDate(productName(), current->shortVersion.isEmpty() ? current->version : current->shortVersion);
    }
    end(Outcome::NothingFound);
    return;
  }

  // What uses the bundle stops now; the swap waits for the delegate to return.
  SUUpdaterDelegate* delegate = updater_.delegate();
  if (delegate) delegate->updaterWillInstallUpdate(&updater_, SUAppcastItem(*item_));
  if ((delegate = updater_.delegate())) relaunchPath_ = delegate->pathToRelaunchForUpdater(&updater_);

  runStep([extractedBundle, installedPath]() -> StepResult {
    Status swapped = installBundle(extractedBundle, installedPath);
    if (!swapped) return {swapped.error().message, {}};
    return {};
  }, [this](const StepResult& step) {
    installLock_.reset();  // the exchange, or its refusal, is on disk
    if (!step.error.isEmpty()) {
      onInstalled(step.error);
      return;
    }
    onInstalled(QString());
    if (ended_once_) return;
    relaunchThen([this] { end(Outcome::Installed); });
  });
}

void UpdateRun::relaunchThen(std::function<void()> next) {
  if (!relaunchPath_ || relaunchPath_->isEmpty() || relaunch_) {
    next();
    return;
  }
  relaunch_ = std::make_unique<RelaunchWatcher>();
  relaunch_->relaunch(*relaunchPath_, settings_.relaunchWaitMs, [this, next = std::move(next)](bool seen) {
    if (!seen) {
      foundation::NSLog(QStringLiteral("Update: %@ was relaunched but did not show up within %@ ms"),
                        *relaunchPath_, settings_.relaunchWaitMs);
    }
    next();
  });
}

void UpdateRun::onInstalled(const QString& error) {
  if (!error.isEmpty()) {
    fail(QStringLiteral("version %1 was not installed: %2").arg(item_->displayVersionString, error));
    return;
  }
  foundation::NSLog(QStringLiteral("Update: installed %@ version %@"), productName(),
                    item_->displayVersionString);
  // The old bundle now sits in the staging folder; removing the folder deletes it.
  if (staging_) {
    if (Status removed = staging_->remove(); !removed) {
      foundation::NSLog(QStringLiteral("Update: the previous version stays behind until the next run: %@"),
                        removed.error().message);
    }
    staging_.reset();
  }
  ui_.close();
}

void UpdateRun::fail(const QString& message) {
  foundation::NSLog(QStringLiteral("Update of %@ failed: %@"), updater_.bundlePath(), message);
  if (interactive_) {
    ui_.close();
    ui_.showError(message);
  }
  end(Outcome::Failed);
}

void UpdateRun::abandonDownloads() {
  if (download_) download_->abandon();
  if (releaseNotes_) releaseNotes_->abandon();
  download_ = nullptr;
  releaseNotes_ = nullptr;
}

void UpdateRun::end(Outcome outcome) {
  if (ended_once_) return;
  ended_once_ = true;
  abandonDownloads();
  installLock_.reset();
  kept_.reset();  // lets go of its lock; what arrived stays for the next run
  ui_.close();
  if (staging_) {
    (void)staging_->remove();  // a failure here is cleaned up by the next run
    staging_.reset();
  }
  // The application to relaunch was closed for an installation that did not happen: it is
  // started again, with the bundle as it was, rather than left closed.
  if (outcome != Outcome::Installed && relaunchPath_ && !relaunchPath_->isEmpty() && !relaunch_) {
    foundation::NSLog(QStringLiteral("Update: the update failed and %@ was restarted"),
                      RelaunchWatcher::applicationNameForPath(*relaunchPath_));
    relaunchThen([this, outcome] {
      if (ended_) ended_(outcome);
    });
    return;
  }
  if (ended_) ended_(outcome);
}

}  // namespace updater
