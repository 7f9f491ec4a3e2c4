// The updater's windows: the offer of a new version with its release notes, turning into
// a progress window once the user accepts; and the "up to date" and error alerts.
//
// Object names, for tests and accessibility tools: the window "SUUpdateAlert"; its
// buttons "installButton", "skipButton", "remindButton", "learnMoreButton", "cancelButton"; the labels
// "headingLabel", "informativeLabel", "statusLabel"; "releaseNotes"; "progressBar".
// The alerts are platform alert panels ("NSRunAlertPanel").
#pragma once

#include "updater/update_user_interface.h"

#include <QPointer>

namespace updater {

class UpdateAlert;

class UpdateWindows : public UpdateUserInterface {
 public:
  UpdateWindows();
  ~UpdateWindows() override;

  void offerUpdate(const UpdateOffer& offer, std::function<void(UpdateChoice)> choose) override;
  void showReleaseNotes(const QString& notes, bool isHtml) override;
  void showProgress(const QString& status, qint64 done, qint64 total,
                    std::function<void()> cancel) override;
  void showUpToDate(const QString& productName, const QString& installedVersion) override;
  void showError(const QString& message) override;
  void close() override;

 private:
  UpdateAlert& alert();
  QPointer<UpdateAlert> alert_;
};

}  // namespace updater
