#include "appkit/alert.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

using namespace appkit;

namespace {

struct Seen {
  QString objectName, title, heading, body, bodyShown;
  bool plainBody = false, boldHeading = false;
  QStringList buttons;
};

// Shows an alert, reads the real panel once it is up, lets press dismiss it; returns the result.
int runAlert(Seen* seen, const std::function<void(QMessageBox*)>& press, const QString& title, const QString& message,
             const QString& defaultLabel, const QString& alternate = {}, const QString& other = {}) {
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible()) return;
    poll.stop();
    *seen = Seen{};
    seen->objectName = box->objectName();
    seen->title = box->windowTitle();
    seen->heading = box->text();
    seen->body = box->informativeText();
    if (auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
      seen->bodyShown = label->text(), seen->plainBody = label->textFormat() == Qt::PlainText;
    if (auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) seen->boldHeading = label->font().bold();
    for (QAbstractButton* button : box->buttons())
      if (button->isVisible()) seen->buttons << button->text();
    seen->buttons.sort();
    press(box);
  });
  poll.start(10);
  return NSRunAlertPanel(title, message, defaultLabel, alternate, other);
}

std::function<void(QMessageBox*)> click(const QString& label) {
  return [label](QMessageBox* box) {
    for (QAbstractButton* button : box->buttons())
      if (button->text() == label) return QTest::mouseClick(button, Qt::LeftButton);
    ADD_FAILURE() << "no button " << label.toStdString();
    box->close();
  };
}
std::function<void(QMessageBox*)> key(Qt::Key k) {
  return [k](QMessageBox* box) { QTest::keyClick(box, k); };
}

}  // namespace

TEST(AlertPanel, ShowsTitleAndMessageVerbatimWithOnlyTheNamedButtons) {
  const QString message = QStringLiteral(
      "Quillane 2 was not successfully removed.  The following error occurred\n"
      "Could not remove \u201C/h/%@ <b>not bold</b> &amp;\u201D: Operation not permitted");
  Seen seen;
  EXPECT_EQ(runAlert(&seen, click("OK"), "Uninstall Not Successful", message, "OK"), NSAlertDefaultReturn);
  EXPECT_EQ(seen.objectName, QStringLiteral("NSRunAlertPanel"));
  EXPECT_EQ(seen.title, QStringLiteral("Uninstall Not Successful"));
  EXPECT_EQ(seen.heading, seen.title);
  EXPECT_TRUE(seen.boldHeading);
  EXPECT_EQ(seen.body, message);
  EXPECT_EQ(seen.bodyShown, message);
  EXPECT_TRUE(seen.plainBody) << "markup in the message would be rendered";
  EXPECT_EQ(seen.buttons, QStringList{"OK"});
}

TEST(AlertPanel, ReturnsTheButtonChosen) {
  Seen seen;
  EXPECT_EQ(runAlert(&seen, click("Remove"), "T", "M", "Remove", "Cancel", "Details"), NSAlertDefaultReturn);
  EXPECT_EQ(seen.buttons, (QStringList{"Cancel", "Details", "Remove"}));
  EXPECT_EQ(runAlert(&seen, click("Cancel"), "T", "M", "Remove", "Cancel", "Details"), NSAlertAlternateReturn);
  EXPECT_EQ(runAlert(&seen, click("Details"), "T", "M", "Remove", "Cancel", "Details"), NSAlertOtherReturn);
  EXPECT_EQ(runAlert(&seen, key(Qt::Key_Escape), "T", "M", "Remove", "Cancel", "Details"), NSAlertAlternateReturn);

  EXPECT_EQ(runAlert(&seen, key(Qt::Key_Escape), "Uninstall Complete", "Quillane was successfully removed", "Done"),
            NSAlertDefaultReturn);
  EXPECT_EQ(seen.buttons, QStringList{"Done"});
  EXPECT_EQ(runAlert(&seen, key(Qt::Key_Return), "T", "", ""), NSAlertDefaultReturn);
  EXPECT_EQ(seen.buttons, QStringList{"OK"});
}

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
