// What a run shows the user. The run decides when; an implementation decides how
// (ui/update_windows.h shows real windows). Every call is made on the main thread.
#pragma once

#include <QString>

#include <functional>

namespace updater {

// LearnMore: the user wants the informational update's page.
enum class UpdateChoice { Install, SkipThisVersion, RemindMeLater, LearnMore };

struct UpdateOffer {
  QString productName;       // e.g. "Quillane"
  QString installedVersion;  // as users see it
  QString newVersion;        // as users see it
  bool critical = false;     // a critical update cannot be skipped
  bool informational = false;  // announced, not installable: Learn More instead of Install
};

class UpdateUserInterface {
 public:
  virtual ~UpdateUserInterface() = default;

  // Offers an update and returns at once. `choose` is called once, later, with the user's
  // answer (closing the window counts as RemindMeLater), unless close() comes first.
  virtual void offerUpdate(const UpdateOffer& offer, std::function<void(UpdateChoice)> choose) = 0;

  // Release notes for the offer on show: rich text from the feed (rendered without loading
  // anything it refers to), or plain text when `isHtml` is false.
  virtual void showReleaseNotes(const QString& notes, bool isHtml) = 0;

  // Progress of the accepted update. total < 0: unknown. `cancel`, when set, is offered as
  // a button; it is called at most once.
  virtual void showProgress(const QString& status, qint64 done, qint64 total,
                            std::function<void()> cancel) = 0;

  // A foreground check found nothing newer. Returns once the user has dismissed it.
  virtual void showUpToDate(const QString& productName, const QString& installedVersion) = 0;

  // A foreground run failed. Returns once the user has dismissed it.
  virtual void showError(const QString& message) = 0;

  // Closes whatever is shown; no callback fires afterwards.
  virtual void close() = 0;
};

}  // namespace updater
