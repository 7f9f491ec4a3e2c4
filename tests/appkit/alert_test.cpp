#include "appkit/alert.h"

#include <functional>

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

using namespace appkit;

namespace {

struct SeenAlert {
  QString objectName, windowTitle, heading, body, bodyShown;
  bool bodyIsPlainText = false;
  bool headingIsBold = false;
  QStringList buttons;
};

// Waits for the next alert panel to be shown, records what it shows and lets act dismiss it.
void handleNextAlert(SeenAlert* seen, std::function<void(QMessageBox*)> act) {
  auto* poll = new QTimer;
  poll->setInterval(10);
  QObject::connect(poll, &QTimer::timeout, [poll, seen, act] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible()) return;
    poll->stop();
    poll->deleteLater();
    seen->objectName = box->objectName();
    seen->windowTitle = box->windowTitle();
    seen->heading = box->text();
    seen->body = box->informativeText();
    if (auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"))) {
      seen->bodyShown = label->text();
      seen->bodyIsPlainText = label->textFormat() == Qt::PlainText;
    }
    if (auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label")))
      seen->headingIsBold = label->font().bold();
    for (QAbstractButton* button : box->buttons())
      if (button->isVisible()) seen->buttons << button->text();
    seen->buttons.sort();
    act(box);
  });
  poll->start();
}

void clickButton(QMessageBox* box, const QString& label) {
  for (QAbstractButton* button : box->buttons())
    if (button->text() == label) return QTest::mouseClick(button, Qt::LeftButton);
  ADD_FAILURE() << "no button " << label.toStdString();
  box->close();
}

}  // namespace

TEST(AlertPanel, ShowsTitleAndMessageVerbatimWithOnlyTheNamedButtons) {
  const QString message = QStringLiteral(
      "Quillane 2 was not successfully removed.  The following error occurred\n"
      "Could not remove \u201C/h/%@ <b>not bold</b> &amp;\u201D: Operation not permitted");
  SeenAlert seen;
  handleNextAlert(&seen, [](QMessageBox* box) { clickButton(box, QStringLiteral("OK")); });
  const int result = NSRunAlertPanel(QStringLiteral("Uninstall Not Successful"), message, QStringLiteral("OK"),
                                     QString(), QString());

  EXPECT_EQ(result, NSAlertDefaultReturn);
  EXPECT_EQ(seen.objectName, QStringLiteral("NSRunAlertPanel"));
  EXPECT_EQ(seen.windowTitle, QStringLiteral("Uninstall Not Successful"));
  EXPECT_EQ(seen.heading, QStringLiteral("Uninstall Not Successful"));
  EXPECT_TRUE(seen.headingIsBold);
  EXPECT_EQ(seen.body, message);
  EXPECT_EQ(seen.bodyShown, message);
  EXPECT_TRUE(seen.bodyIsPlainText) << "markup in the message would be rendered";
  EXPECT_EQ(seen.buttons, QStringList{QStringLiteral("OK")});
}

TEST(AlertPanel, ReturnsTheButtonChosen) {
  struct Case {
    QString press;  // a label, or "Escape"
    int expected;
  };
  for (const Case& c : {Case{QStringLiteral("Remove"), NSAlertDefaultReturn},
                        Case{QStringLiteral("Cancel"), NSAlertAlternateReturn},
                        Case{QStringLiteral("Details"), NSAlertOtherReturn},
                        Case{QStringLiteral("Escape"), NSAlertAlternateReturn}}) {
    SeenAlert seen;
    handleNextAlert(&seen, [press = c.press](QMessageBox* box) {
      if (press == u"Escape") QTest::keyClick(box, Qt::Key_Escape);
      else clickButton(box, press);
    });
    EXPECT_EQ(NSRunAlertPanel(QStringLiteral("Remove?"), QStringLiteral("Sure?"), QStringLiteral("Remove"),
                              QStringLiteral("Cancel"), QStringLiteral("Details")),
              c.expected)
        << c.press.toStdString();
    EXPECT_EQ(seen.buttons, (QStringList{QStringLiteral("Cancel"), QStringLiteral("Details"), QStringLiteral("Remove")}));
  }
}

TEST(AlertPanel, EscapeOnASingleButtonAlertAndAnEmptyDefaultLabel) {
  SeenAlert seen;
  handleNextAlert(&seen, [](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Escape); });
  EXPECT_EQ(NSRunAlertPanel(QStringLiteral("Uninstall Complete"), QStringLiteral("Quillane was successfully removed"),
                            QStringLiteral("Done"), QString(), QString()),
            NSAlertDefaultReturn);
  EXPECT_EQ(seen.buttons, QStringList{QStringLiteral("Done")});

  SeenAlert unnamed;
  handleNextAlert(&unnamed, [](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Return); });
  EXPECT_EQ(NSRunAlertPanel(QStringLiteral("T"), QString(), QString(), QString(), QString()), NSAlertDefaultReturn);
  EXPECT_EQ(unnamed.buttons, QStringList{QStringLiteral("OK")});
}

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
