#include "updater/ui/update_windows.h"

#include "updater/ui/update_alert.h"

#include "appkit/alert.h"
#include "foundation/log.h"

#include <QApplication>
#include <QTimer>

namespace updater {

UpdateWindows::UpdateWindows() = default;

UpdateWindows::~UpdateWindows() {
  if (alert_) {
    alert_->detach();
    delete alert_;
  }
}

UpdateAlert& UpdateWindows::alert() {
  if (!alert_) alert_ = new UpdateAlert;
  return *alert_;
}

namespace {

// A process without a widgets application (a command-line tool, say) cannot show windows.
bool canShowWindows() { return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr; }

}  // namespace

void UpdateWindows::offerUpdate(const UpdateOffer& offer, std::function<void(UpdateChoice)> choose) {
  if (!canShowWindows()) {
    foundation::NSLog(QStringLiteral("Update: %@ %@ is available; no window can be shown to offer it"),
                      offer.productName, offer.newVersion);
    QTimer::singleShot(0, QCoreApplication::instance(),
                       [choose = std::move(choose)] { choose(UpdateChoice::RemindMeLater); });
    return;
  }
  UpdateAlert& window = alert();
  window.showOffer(offer, std::move(choose));
  window.show();
  window.raise();
  window.activateWindow();
}

void UpdateWindows::showReleaseNotes(const QString& notes, bool isHtml) {
  if (alert_) alert_->setReleaseNotes(notes, isHtml);
}

void UpdateWindows::showProgress(const QString& status, qint64 done, qint64 total,
                                 std::function<void()> cancel) {
  if (!canShowWindows()) return;
  UpdateAlert& window = alert();
  window.showProgress(status, done, total, std::move(cancel));
  if (!window.isVisible()) window.show();
}

void UpdateWindows::showUpToDate(const QString& productName, const QString& installedVersion) {
  appkit::NSRunAlertPanel(
      QCoreApplication::translate("updater::UpdateWindows", "You’re up to date!"),
      QCoreApplication::translate("updater::UpdateWindows",
                                  "%1 %2 is currently the newest version available.")
          .arg(productName, installedVersion),
      QCoreApplication::translate("updater::UpdateWindows", "OK"), QString(), QString());
}

void UpdateWindows::showError(const QString& message) {
  // The reason comes from the run as it was logged, in English: it names files, addresses
  // and system errors that support needs to read as they are.
  appkit::NSRunAlertPanel(
      QCoreApplication::translate("updater::UpdateWindows", "Update Error!"),
      QCoreApplication::translate("updater::UpdateWindows", "The update could not be installed: %1")
          .arg(message),
      QCoreApplication::translate("updater::UpdateWindows", "OK"), QString(), QString());
}

void UpdateWindows::close() {
  if (!alert_) return;
  alert_->detach();
  alert_->hide();
  alert_->deleteLater();
  alert_ = nullptr;
}

}  // namespace updater
