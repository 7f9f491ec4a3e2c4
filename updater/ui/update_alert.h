// The window that offers an update and then shows its progress.
#pragma once

#include "updater/update_user_interface.h"

#include <QDialog>

#include <functional>

class QLabel;
class QProgressBar;
class QPushButton;
class QStackedWidget;
class QTextBrowser;

namespace updater {

class UpdateAlert : public QDialog {
  Q_OBJECT
 public:
  explicit UpdateAlert(QWidget* parent = nullptr);

  void showOffer(const UpdateOffer& offer, std::function<void(UpdateChoice)> choose);
  void setReleaseNotes(const QString& notes, bool isHtml);
  void showProgress(const QString& status, qint64 done, qint64 total, std::function<void()> cancel);
  // Drops the callbacks, so closing the window afterwards reports nothing.
  void detach();

 protected:
  void reject() override;  // Escape or the window's close button

 private:
  void choose(UpdateChoice choice);

  QStackedWidget* pages_ = nullptr;
  QLabel* heading_ = nullptr;
  QLabel* informative_ = nullptr;
  QTextBrowser* releaseNotes_ = nullptr;
  QPushButton* install_ = nullptr;
  QPushButton* skip_ = nullptr;
  QPushButton* remind_ = nullptr;
  QPushButton* learnMore_ = nullptr;
  QLabel* status_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QPushButton* cancel_ = nullptr;
  std::function<void(UpdateChoice)> choose_;
  std::function<void()> cancelDownload_;
};

}  // namespace updater
