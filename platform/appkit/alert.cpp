#include "appkit/alert.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

#include "foundation/log.h"

namespace appkit {

int NSRunAlertPanel(const QString& title, const QString& message, const QString& defaultButton,
                    const QString& alternateButton, const QString& otherButton) {
  if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
    foundation::NSLog(QStringLiteral("Alert \"%@\" could not be shown (no application): %@"), title,
                      message);
    return NSAlertErrorReturn;
  }
  QMessageBox box;
  box.setObjectName(QStringLiteral("NSRunAlertPanel"));
  box.setIcon(QMessageBox::NoIcon);
  box.setWindowTitle(title);
  box.setTextFormat(Qt::PlainText);
  box.setText(title);
  if (!message.isEmpty()) box.setInformativeText(message);

  // The heading is bold; the body must never be read as markup, whatever it contains.
  if (auto* heading = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) {
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);
  }
  if (auto* body = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"))) {
    body->setTextFormat(Qt::PlainText);
    // Without a floor, a short message wraps into a narrow column of a few words a line.
    body->setMinimumWidth(body->fontMetrics().averageCharWidth() * 40);
  }

  QPushButton* other =
      otherButton.isEmpty() ? nullptr : box.addButton(otherButton, QMessageBox::ActionRole);
  QPushButton* alternate =
      alternateButton.isEmpty() ? nullptr : box.addButton(alternateButton, QMessageBox::RejectRole);
  QPushButton* defaultPush = box.addButton(
      // Qt's own catalog has this text in the user's language.
      defaultButton.isEmpty() ? QCoreApplication::translate("QPlatformTheme", "OK") : defaultButton,
      QMessageBox::AcceptRole);
  box.setDefaultButton(defaultPush);
  box.setEscapeButton(alternate ? alternate : defaultPush);

  box.exec();
  const QAbstractButton* clicked = box.clickedButton();
  if (clicked && clicked == alternate) return NSAlertAlternateReturn;
  if (clicked && clicked == other) return NSAlertOtherReturn;
  return NSAlertDefaultReturn;
}

}  // namespace appkit
