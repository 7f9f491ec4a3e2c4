#include "updater/SUUpdater.h"

#include "updater/core/appcast.h"
#include "updater/core/bundle_info.h"
#include "updater/ui/update_windows.h"
#include "updater/update_run.h"

#include "foundation/log.h"
#include "foundation/notification_center.h"

#include <QDir>

#include <map>

namespace updater {

// ---- SUAppcastItem ------------------------------------------------------------------

SUAppcastItem::SUAppcastItem(const AppcastItem& item)
    : item_(std::make_shared<const AppcastItem>(item)) {}
SUAppcastItem::~SUAppcastItem() = default;
SUAppcastItem::SUAppcastItem(const SUAppcastItem&) = default;
SUAppcastItem& SUAppcastItem::operator=(const SUAppcastItem&) = default;

QString SUAppcastItem::versionString() const { return item_->versionString; }
QString SUAppcastItem::displayVersionString() const { return item_->displayVersionString; }
QString SUAppcastItem::title() const { return item_->title; }
QString SUAppcastItem::itemDescription() const { return item_->itemDescription; }
QString SUAppcastItem::releaseNotesURL() const { return item_->releaseNotesURL; }
QString SUAppcastItem::fileURL() const { return item_->fileURL; }
qint64 SUAppcastItem::contentLength() const { return item_->contentLength; }
bool SUAppcastItem::isCriticalUpdate() const { return item_->isCriticalUpdate; }

// ---- SUUpdater ----------------------------------------------------------------------

namespace {

// The library keeps every updater for the life of the process. Deliberately never
// destroyed: an updater may be mid-run while the process exits, and static destruction
// comes after the application object is gone.
std::map<QString, SUUpdater*>& updaters() {
  static auto* all = new std::map<QString, SUUpdater*>();
  return *all;
}

}  // namespace

SUUpdater* SUUpdater::updaterForBundle(const foundation::NSBundle& bundle) {
  const QString path = QDir::cleanPath(bundle.bundlePath());
  auto& all = updaters();
  if (auto found = all.find(path); found != all.end()) return found->second;
  Result<BundleInfo> info = readBundleInfo(path);
  if (!info) {
    foundation::NSLog(QStringLiteral("Update: %@ cannot be updated: %@"), path, info.error().message);
    return nullptr;
  }
  auto* updater = new SUUpdater(path);
  all.emplace(path, updater);
  return updater;
}

SUUpdater::SUUpdater(const QString& bundlePath)
    : bundlePath_(bundlePath), interface_(std::make_unique<UpdateWindows>()) {}

SUUpdater::~SUUpdater() {
  delete run_;
}

void SUUpdater::setDelegate(SUUpdaterDelegate* delegate) { delegate_ = delegate; }

bool SUUpdater::isRunning() const { return run_ != nullptr; }

void SUUpdater::checkForUpdatesInBackground() { startRun(true); }

void SUUpdater::checkForUpdates(QObject* sender) {
  (void)sender;
  startRun(false);
}

void SUUpdater::startRun(bool background) {
  if (run_) {
    foundation::NSLog(QStringLiteral("Update: a check of %@ is already under way; this one is ignored"),
                      bundlePath_);
    return;
  }
  run_ = new UpdateRun(*this, *interface_, background, RunSettings(),
                       [this](UpdateRun::Outcome) { runFinished(); });
  run_->start();
}

void SUUpdater::runFinished() {
  // The run may be on the stack: let it go later. A check asked for by an observer of the
  // notification below starts a new run.
  run_->deleteLater();
  run_ = nullptr;
  foundation::NSNotificationCenter::defaultCenter().postNotificationNameObjectUserInfo(
      SUUpdateDriverFinishedNotification, this);
}

}  // namespace updater
