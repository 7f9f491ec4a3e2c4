// The update windows by keyboard alone: Tab reaches every command and the release notes,
// Return chooses the default button wherever the focus is, Escape cancels a download.
#include "updater/ui/update_alert.h"

#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <QTextBrowser>
#include <QTextCursor>
#include <gtest/gtest.h>

#include <optional>
#include <set>

namespace {

using updater::UpdateAlert;
using updater::UpdateChoice;
using updater::UpdateOffer;

// What a dozen presses of Tab visit (the release notes take a few for their link).
std::set<QWidget*> tabChain() {
  std::set<QWidget*> visited;
  for (int i = 0; i < 12 && QApplication::focusWidget(); ++i) {
    visited.insert(QApplication::focusWidget());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  }
  return visited;
}

class KeyboardTest : public ::testing::Test {
 protected:
  void show(const UpdateOffer& offer) {
    window.showOffer(offer, [this](UpdateChoice choice) { chosen = choice; });
    window.setReleaseNotes(QStringLiteral("<p>Faster. <a href='https://example.org'>More</a></p>"), true);
    window.show();
    QApplication::setActiveWindow(&window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  }
  QPushButton* button(const char* name) { return window.findChild<QPushButton*>(name); }

  UpdateAlert window;
  std::optional<UpdateChoice> chosen;
};

TEST_F(KeyboardTest, TabReachesEveryCommandAndReturnInstallsFromAnywhere) {
  show(UpdateOffer{"Quillane", "1.0", "2.0", false, false});
  auto* notes = window.findChild<QTextBrowser*>("releaseNotes");
  const std::set<QWidget*> reached = tabChain();
  for (QWidget* wanted : std::initializer_list<QWidget*>{button("installButton"), button("skipButton"),
                                                         button("remindButton"), notes})
    EXPECT_TRUE(reached.count(wanted)) << wanted->objectName().toStdString() << " is not reached by Tab";

  notes->setFocus();
  notes->setTextCursor(QTextCursor(notes->document()));  // no link picked out
  QTest::keyClick(notes, Qt::Key_Return);
  EXPECT_EQ(chosen, UpdateChoice::Install) << "Return in the release notes";
}

TEST_F(KeyboardTest, ReturnOpensTheAnnouncementsPage) {
  show(UpdateOffer{"Quillane", "1.0", "2.0", false, true});
  EXPECT_TRUE(tabChain().count(button("learnMoreButton")));
  button("learnMoreButton")->setFocus();
  QTest::keyClick(button("learnMoreButton"), Qt::Key_Return);
  EXPECT_EQ(chosen, UpdateChoice::LearnMore);
}

TEST_F(KeyboardTest, EscapeCancelsTheDownload) {
  show(UpdateOffer{"Quillane", "1.0", "2.0", false, false});
  bool cancelled = false;
  window.showProgress(QStringLiteral("Downloading update (1 MB)…"), 1, 2, [&] { cancelled = true; });
  EXPECT_TRUE(tabChain().count(button("cancelButton")));
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
  EXPECT_TRUE(cancelled);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
