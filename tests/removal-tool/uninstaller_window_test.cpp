// The window with the real platform underneath: real buttons and keys, the real alert
// panels (read and dismissed like a person would), real files in the sandbox home. Only
// the final termination is recorded instead of ending the test process.
#include "removal-tool/uninstaller_window.h"

#include "installed_plugin.h"
#include "plist/plist.h"
#include "removal-tool/platform_environment.h"
#include "removal-tool/uninstaller.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <set>

namespace {

using testing_support::existsNoFollow;
using testing_support::InstalledPlugin;
using testing_support::snapshot;

class RecordingEnvironment : public PlatformEnvironment {
 public:
  std::vector<QObject*> terminateSenders;
  void terminate(QObject* sender) override { terminateSenders.push_back(sender); }
};

struct SeenAlert {
  QString title, heading, message;
  QStringList buttons;
};

// Answers every alert panel that opens by clicking the button labelled `answer`.
class AlertAnswerer {
 public:
  explicit AlertAnswerer(QString answer) : answer_(std::move(answer)) {
    QObject::connect(&timer_, &QTimer::timeout, [this] { answerOpenAlerts(); });
    timer_.start(10);
  }
  std::vector<SeenAlert> seen;

 private:
  void answerOpenAlerts() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      auto* alert = qobject_cast<QMessageBox*>(widget);
      if (!alert || alert->objectName() != "NSRunAlertPanel" || !alert->isVisible()) continue;
      if (!handled_.insert(alert).second) continue;
      SeenAlert record{alert->windowTitle(), alert->text(), alert->informativeText(), {}};
      QAbstractButton* toClick = nullptr;
      for (QAbstractButton* button : alert->buttons()) {
        record.buttons << button->text();
        if (button->text() == answer_) toClick = button;
      }
      seen.push_back(record);
      if (toClick) QTest::mouseClick(toClick, Qt::LeftButton);
    }
  }
  QString answer_;
  QTimer timer_;
  std::set<QObject*> handled_;
};

class UninstallerWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testing_support::homeIsSandbox()) << "run through CTest, in a sandbox home";
    library = QDir::homePath() + "/Library";
    testing_support::removeTree(library);
    plugin = testing_support::installPlugin(library);
  }
  void TearDown() override { testing_support::removeTree(library); }

  void writeMailSettings() {
    plist::Dictionary settings{
        {"TableColumns",
         plist::Dictionary{{"MessageList", plist::Dictionary{{"1", "From"}, {"22", "Score"}}}}},
        {"NumberOfSnippetLines", 2}};
    testing_support::writeFile(settingsPath(),
                               QByteArray::fromStdString(plist::writeBinary(settings)));
  }
  QString settingsPath() const { return library + "/Preferences/com.apple.mail.plist"; }
  QByteArray settingsBytes() const {
    QFile file(settingsPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  }

  QString library;
  InstalledPlugin plugin;
  RecordingEnvironment environment;
  Uninstaller uninstaller{environment};
};

TEST_F(UninstallerWindowTest, ShowsEachItemFoundOrNotWithItsSize) {
  testing_support::removeTree(plugin.extras());
  UninstallerWindow window(uninstaller);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  QTest::qWait(50);  // sizes are filled in once the window is up

  const auto* bundleSize = window.findChild<QLabel*>("size0");
  const auto* importerSize = window.findChild<QLabel*>("size1");
  const auto* extrasSize = window.findChild<QLabel*>("size2");
  ASSERT_TRUE(bundleSize && importerSize && extrasSize);
  for (const QLabel* found : {bundleSize, importerSize}) {
    EXPECT_TRUE(found->text().contains(QRegularExpression("^[0-9][0-9.,]* ?(bytes|KB|MB)$",
                                                      QRegularExpression::CaseInsensitiveOption)))
        << found->text().toStdString();
  }
  EXPECT_NE(bundleSize->text(), importerSize->text()) << "the bundle holds more than the importer";
  EXPECT_EQ(extrasSize->text(), "not found");
  QStringList shownPaths;
  for (const QLabel* label : window.findChildren<QLabel*>()) shownPaths << label->text();
  EXPECT_TRUE(shownPaths.contains("~/Library/Mail/Bundles/Quillane.mailbundle"));
  EXPECT_TRUE(shownPaths.contains("~/Library/Mail/Bundles/Quillane Extras"));
  EXPECT_TRUE(environment.terminateSenders.empty());
  EXPECT_TRUE(existsNoFollow(plugin.bundle())) << "showing the window removes nothing";
}

TEST_F(UninstallerWindowTest, SaysWhatOfEachItemIsRemovedAndWhyAnythingElseIsLeft) {
  testing_support::removeTree(plugin.bundle());
  testing_support::removeTree(plugin.extras());
  ASSERT_TRUE(QFile::link(plugin.importer(), plugin.bundle()));
  ASSERT_TRUE(QFile::link(library + "/nowhere", plugin.extras()));
  const QString remnant = library + "/Mail/Bundles/.Quillane Extras.removing-x1y2z3";
  testing_support::writeFile(remnant + "/Contents/file", QByteArray(5000, 'r'));
  UninstallerWindow window(uninstaller);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  QTest::qWait(50);  // sizes are filled in once the window is up
  EXPECT_EQ(window.findChild<QLabel*>("size0")->text(), "a link: only the link is removed");
  EXPECT_EQ(window.findChild<QLabel*>("size2")->text(), "a link, left in place");
  EXPECT_TRUE(window.findChild<QLabel*>("size3")->text().contains(
      QRegularExpression("^left over from an earlier removal, [0-9][0-9.,]* ?kB$")))
      << window.findChild<QLabel*>("size3")->text().toStdString();
  QStringList shownPaths;
  for (const QLabel* label : window.findChildren<QLabel*>()) shownPaths << label->text();
  EXPECT_TRUE(shownPaths.contains("~/Library/Mail/Bundles/.Quillane Extras.removing-x1y2z3"));

  ASSERT_TRUE(QFile::remove(plugin.extras()));
  testing_support::writeFile(plugin.extras(), "a file, not a folder");
  UninstallerWindow again(uninstaller);
  EXPECT_EQ(again.findChild<QLabel*>("size2")->text(), "not a folder, left in place");
}

TEST_F(UninstallerWindowTest, ClickingUninstallRemovesTheItemsAndShowsTheCompletionAlert) {
  writeMailSettings();
  UninstallerWindow window(uninstaller);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  AlertAnswerer answerer("Done");

  QTest::mouseClick(window.uninstallButton(), Qt::LeftButton);  // returns once answered

  ASSERT_EQ(answerer.seen.size(), 1u);
  EXPECT_EQ(answerer.seen[0].title, "Uninstall Complete");
  EXPECT_EQ(answerer.seen[0].heading, "Uninstall Complete");
  EXPECT_EQ(answerer.seen[0].message, "Quillane was successfully removed");
  EXPECT_EQ(answerer.seen[0].buttons, QStringList({"Done"}));
  EXPECT_FALSE(existsNoFollow(plugin.bundle()));
  EXPECT_FALSE(existsNoFollow(plugin.importer()));
  EXPECT_FALSE(existsNoFollow(plugin.extras()));
  ASSERT_EQ(environment.terminateSenders.size(), 1u);
  EXPECT_EQ(environment.terminateSenders[0], window.uninstallButton());

  auto settings = plist::read(settingsBytes().toStdString());
  ASSERT_TRUE(settings.has_value());
  const plist::Dictionary* domain = settings.value().asDictionary();
  ASSERT_NE(domain, nullptr);
  EXPECT_EQ(*domain, (plist::Dictionary{
                         {"TableColumns",
                          plist::Dictionary{{"MessageList", plist::Dictionary{{"1", "From"}}}}},
                         {"NumberOfSnippetLines", 2}}));
}

TEST_F(UninstallerWindowTest, AFailedDeletionShowsTheFailureAlertAndLeavesTheItemWhole) {
  writeMailSettings();
  const QByteArray settingsBefore = settingsBytes();
  const auto importerBefore = snapshot(plugin.importer());
  if (auto reason = testing_support::makeUnremovable(plugin.importer()))
    GTEST_SKIP() << reason->toStdString();
  UninstallerWindow window(uninstaller);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  AlertAnswerer answerer("OK");

  QTest::mouseClick(window.uninstallButton(), Qt::LeftButton);
  testing_support::makeRemovable(plugin.importer());

  ASSERT_EQ(answerer.seen.size(), 1u) << "one failure alert, no completion alert";
  EXPECT_EQ(answerer.seen[0].title, "Uninstall Not Successful");
  EXPECT_EQ(answerer.seen[0].buttons, QStringList({"OK"}));
  const QString prefix = "Quillane 2 was not successfully removed.  The following error occurred\n";
  EXPECT_TRUE(answerer.seen[0].message.startsWith(prefix)) << answerer.seen[0].message.toStdString();
  EXPECT_TRUE(answerer.seen[0].message.contains("Quillane.mdimporter"))
      << "the description names the item";
  EXPECT_GT(answerer.seen[0].message.size(), prefix.size() + 20);
  EXPECT_EQ(snapshot(plugin.importer()), importerBefore);
  EXPECT_FALSE(existsNoFollow(plugin.bundle()));
  EXPECT_FALSE(existsNoFollow(plugin.extras())) << "the item after the failure is still removed";
  EXPECT_EQ(settingsBytes(), settingsBefore);
  EXPECT_EQ(environment.terminateSenders.size(), 1u);
}

TEST_F(UninstallerWindowTest, EscapeAndTheCancelButtonQuitWithoutTouchingAnything) {
  const auto before = snapshot(library);
  {
    UninstallerWindow window(uninstaller);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QTest::keyClick(&window, Qt::Key_Escape);
    EXPECT_EQ(environment.terminateSenders.size(), 1u);
  }
  {
    UninstallerWindow window(uninstaller);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QTest::mouseClick(window.cancelButton(), Qt::LeftButton);
    ASSERT_EQ(environment.terminateSenders.size(), 2u);
    EXPECT_EQ(environment.terminateSenders[1], window.cancelButton());
  }
  QTest::qWait(50);
  EXPECT_EQ(snapshot(library), before);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
