#include "updater/ui/update_alert.h"

#include "updater/ui/release_notes_view.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace updater {

namespace {

QPushButton* makeButton(const QString& text, const QString& name, QWidget* parent) {
  auto* button = new QPushButton(text, parent);
  button->setObjectName(name);
  button->setAutoDefault(false);
  return button;
}

}  // namespace

UpdateAlert::UpdateAlert(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("SUUpdateAlert"));
  setWindowTitle(tr("Software Update"));
  setModal(false);
  resize(560, 420);

  pages_ = new QStackedWidget(this);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(pages_);

  // The offer.
  auto* offerPage = new QWidget(pages_);
  auto* offerLayout = new QVBoxLayout(offerPage);
  heading_ = new QLabel(offerPage);
  heading_->setObjectName(QStringLiteral("headingLabel"));
  heading_->setTextFormat(Qt::PlainText);
  QFont bold = heading_->font();
  bold.setBold(true);
  heading_->setFont(bold);
  informative_ = new QLabel(offerPage);
  informative_->setObjectName(QStringLiteral("informativeLabel"));
  informative_->setTextFormat(Qt::PlainText);
  informative_->setWordWrap(true);
  auto* notesTitle = new QLabel(tr("Release Notes:"), offerPage);
  releaseNotes_ = new ReleaseNotesView(offerPage);
  releaseNotes_->setObjectName(QStringLiteral("releaseNotes"));
  notesTitle->setBuddy(releaseNotes_);
  releaseNotes_->setPlainText(tr("Loading release notes…"));
  skip_ = makeButton(tr("Skip This Version"), QStringLiteral("skipButton"), offerPage);
  remind_ = makeButton(tr("Remind Me Later"), QStringLiteral("remindButton"), offerPage);
  install_ = makeButton(tr("Install"), QStringLiteral("installButton"), offerPage);
  install_->setDefault(true);
  learnMore_ = makeButton(tr("Learn More…"), QStringLiteral("learnMoreButton"), offerPage);
  auto* offerButtons = new QHBoxLayout;
  offerButtons->addWidget(skip_);
  offerButtons->addStretch();
  offerButtons->addWidget(remind_);
  offerButtons->addWidget(install_);
  offerButtons->addWidget(learnMore_);
  offerLayout->addWidget(heading_);
  offerLayout->addWidget(informative_);
  offerLayout->addWidget(notesTitle);
  offerLayout->addWidget(releaseNotes_, 1);
  offerLayout->addLayout(offerButtons);
  pages_->addWidget(offerPage);

  // The progress.
  auto* progressPage = new QWidget(pages_);
  auto* progressLayout = new QVBoxLayout(progressPage);
  status_ = new QLabel(progressPage);
  status_->setObjectName(QStringLiteral("statusLabel"));
  status_->setTextFormat(Qt::PlainText);
  progress_ = new QProgressBar(progressPage);
  progress_->setObjectName(QStringLiteral("progressBar"));
  progress_->setTextVisible(false);
  cancel_ = makeButton(tr("Cancel"), QStringLiteral("cancelButton"), progressPage);
  auto* progressButtons = new QHBoxLayout;
  progressButtons->addStretch();
  progressButtons->addWidget(cancel_);
  progressLayout->addStretch();
  progressLayout->addWidget(status_);
  progressLayout->addWidget(progress_);
  progressLayout->addStretch();
  progressLayout->addLayout(progressButtons);
  pages_->addWidget(progressPage);

  connect(install_, &QPushButton::clicked, this, [this] { choose(UpdateChoice::Install); });
  connect(skip_, &QPushButton::clicked, this, [this] { choose(UpdateChoice::SkipThisVersion); });
  connect(remind_, &QPushButton::clicked, this, [this] { choose(UpdateChoice::RemindMeLater); });
  connect(learnMore_, &QPushButton::clicked, this, [this] { choose(UpdateChoice::LearnMore); });
  connect(cancel_, &QPushButton::clicked, this, [this] {
    if (auto cancel = std::exchange(cancelDownload_, nullptr)) {
      cancel_->setEnabled(false);
      cancel();
    }
  });
}

void UpdateAlert::showOffer(const UpdateOffer& offer, std::function<void(UpdateChoice)> choose) {
  choose_ = std::move(choose);
  cancelDownload_ = nullptr;
  heading_->setText(tr("A new version of %1 is available!").arg(offer.productName));
  const QString question = offer.informational
                               ? tr("It cannot be installed from here; learn more about it on the web.")
                               : tr("Would you like to install it now?");
  informative_->setText(//: %1 the product, %2 the new version, %3 the installed version, %4 the question
      tr("%1 %2 is now available—you have %3. %4")
                            .arg(offer.productName, offer.newVersion, offer.installedVersion, question));
  // An announcement has nothing to install and nothing to skip: it is only shown on request.
  skip_->setVisible(!offer.critical && !offer.informational);
  install_->setVisible(!offer.informational);
  learnMore_->setVisible(offer.informational);
  install_->setDefault(!offer.informational);
  learnMore_->setDefault(offer.informational);
  releaseNotes_->setPlainText(tr("Loading release notes…"));
  pages_->setCurrentIndex(0);
  (offer.informational ? learnMore_ : install_)->setFocus();
}

void UpdateAlert::setReleaseNotes(const QString& notes, bool isHtml) {
  if (isHtml) {
    releaseNotes_->setHtml(notes);
  } else {
    releaseNotes_->setPlainText(notes);
  }
}

void UpdateAlert::showProgress(const QString& status, qint64 done, qint64 total,
                               std::function<void()> cancel) {
  pages_->setCurrentIndex(1);
  status_->setText(status);
  progress_->setAccessibleName(status);  // a screen reader reads the bar with its value
  if (total > 0) {
    // Per mille: lengths above 2 GB would not fit the bar's int range.
    progress_->setRange(0, 1000);
    progress_->setValue(int(qBound(qint64(0), done * 1000 / total, qint64(1000))));
  } else {
    progress_->setRange(0, 0);  // busy
  }
  const bool cancellable = bool(cancel);
  cancelDownload_ = std::move(cancel);
  cancel_->setEnabled(cancellable);
}

void UpdateAlert::detach() {
  choose_ = nullptr;
  cancelDownload_ = nullptr;
}

void UpdateAlert::choose(UpdateChoice choice) {
  if (auto choose = std::exchange(choose_, nullptr)) choose(choice);
}

void UpdateAlert::reject() {
  if (pages_->currentIndex() == 0) {
    // Closing the offer is putting it off.
    auto choose = std::exchange(choose_, nullptr);
    QDialog::reject();
    if (choose) choose(UpdateChoice::RemindMeLater);
    return;
  }
  // While installing, the window stays; while downloading, closing it cancels.
  if (auto cancel = std::exchange(cancelDownload_, nullptr)) {
    cancel_->setEnabled(false);
    cancel();
  }
}

}  // namespace updater
