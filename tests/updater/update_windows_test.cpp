// The updater's windows, driven as a user would: found on screen (offscreen), read, and
// answered with their buttons.
#include "run_harness.h"
#include "test_support.h"
#include "update_fixture.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTextBrowser>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

QWidget* visibleWindow(const QString& objectName) {
  for (QWidget* widget : QApplication::topLevelWidgets())
    if (widget->isVisible() && widget->objectName() == objectName) return widget;
  return nullptr;
}

template <typename T>
T* child(QWidget* window, const char* name) {
  return window ? window->findChild<T*>(QString::fromLatin1(name)) : nullptr;
}

// Answers the next alert panel (a modal loop inside the run) with the button labelled
// `button`, and keeps what it said.
struct AlertAnswerer {
  explicit AlertAnswerer(QString button) : button(std::move(button)) {
    timer.setInterval(20);
    QObject::connect(&timer, &QTimer::timeout, [this] {
      auto* box = qobject_cast<QMessageBox*>(visibleWindow(QStringLiteral("NSRunAlertPanel")));
      if (!box) return;
      title = box->windowTitle();
      text = box->text() + QLatin1Char('\n') + box->informativeText();
      for (QAbstractButton* b : box->buttons()) {
        if (b->text() == this->button) {
          timer.stop();
          answered = true;
          b->click();
          return;
        }
      }
    });
    timer.start();
  }
  QString button;
  QTimer timer;
  bool answered = false;
  QString title;
  QString text;
};

class UpdateWindowsTest : public testing::Test {
 protected:
  void SetUp() override {
    fixture.install();
    updater = updaterAt(fixture.pluginPath());
    ASSERT_NE(updater, nullptr);
    updater->setDelegate(&delegate);
    finished = std::make_unique<FinishedCounter>(updater);
  }
  void TearDown() override { updater->setDelegate(nullptr); }

  void publish(const QString& version, const QStringList& options = {}) {
    BundleSpec next;
    next.version = version;
    next.shortVersion = version;
    next.payload = "payload " + version.toUtf8();
    fixture.publish(fixture.buildArchive(QStringLiteral("Quillane-%1.tar.gz").arg(version), next), options);
  }

  QWidget* waitForOffer() {
    QWidget* window = nullptr;
    waitUntil([&] { return (window = visibleWindow(QStringLiteral("SUUpdateAlert"))) != nullptr; });
    return window;
  }

  bool waitForEnd() {
    const bool ended = waitUntil([&] { return finished->count() > 0; }, 30000);
    spin(200);
    return ended;
  }

  UpdateFixture fixture;
  RecordingDelegate delegate;
  updater::SUUpdater* updater = nullptr;
  std::unique_ptr<FinishedCounter> finished;
};

TEST_F(UpdateWindowsTest, OfferShowsBothVersionsAndNotesAndInstallsOnRequest) {
  publish(QStringLiteral("1.1"),
          {QStringLiteral("--description"), QStringLiteral("<h2>What's new</h2><p>Faster sorting.</p>")});
  updater->checkForUpdates(nullptr);
  QWidget* window = waitForOffer();
  ASSERT_NE(window, nullptr);

  auto* heading = child<QLabel>(window, "headingLabel");
  auto* informative = child<QLabel>(window, "informativeLabel");
  ASSERT_TRUE(heading && informative);
  EXPECT_TRUE(heading->text().contains(QLatin1String("Quillane")));
  EXPECT_TRUE(informative->text().contains(QLatin1String("1.1")));
  EXPECT_TRUE(informative->text().contains(QLatin1String("1.0")));
  auto* notes = child<QTextBrowser>(window, "releaseNotes");
  ASSERT_NE(notes, nullptr);
  EXPECT_TRUE(waitUntil([&] { return notes->toPlainText().contains(QLatin1String("Faster sorting.")); }))
      << notes->toPlainText().toStdString();
  EXPECT_TRUE(child<QPushButton>(window, "skipButton")->isVisible());
  EXPECT_TRUE(child<QPushButton>(window, "remindButton")->isVisible());
  EXPECT_EQ(delegate.calls, QStringList()) << "nothing happens before the user answers";

  child<QPushButton>(window, "installButton")->click();
  ASSERT_TRUE(waitForEnd());
  EXPECT_EQ(finished->count(), 1);
  EXPECT_EQ(delegate.calls, QStringList({QStringLiteral("willInstall 1.1"), QStringLiteral("pathToRelaunch")}));
  EXPECT_EQ(fixture.installedVersion(), QStringLiteral("1.1"));
  EXPECT_EQ(visibleWindow(QStringLiteral("SUUpdateAlert")), nullptr);
}

TEST_F(UpdateWindowsTest, SkipThisVersionIsRememberedForBackgroundChecksOnly) {
  publish(QStringLiteral("1.1"));
  // Without SUAutomaticallyUpdate a background check has to ask.
  updater->checkForUpdatesInBackground();
  QWidget* window = waitForOffer();
  ASSERT_NE(window, nullptr);
  child<QPushButton>(window, "skipButton")->click();
  ASSERT_TRUE(waitForEnd());
  EXPECT_EQ(finished->count(), 1);
  EXPECT_EQ(fixture.installedVersion(), QStringLiteral("1.0"));
  EXPECT_EQ(delegate.calls, QStringList());

  QFile domain(QDir::homePath() + QStringLiteral("/Library/Preferences/com.quillane.plugin.plist"));
  ASSERT_TRUE(domain.exists());

  // The next background check does not ask again...
  updater->checkForUpdatesInBackground();
  ASSERT_TRUE(waitUntil([&] { return finished->count() == 2; }, 30000));
  EXPECT_EQ(delegate.calls, QStringList({QStringLiteral("didNotFind")}));
  EXPECT_EQ(visibleWindow(QStringLiteral("SUUpdateAlert")), nullptr);

  // ...but a check the user asks for still offers it.
  updater->checkForUpdates(nullptr);
  window = waitForOffer();
  ASSERT_NE(window, nullptr);
  child<QPushButton>(window, "remindButton")->click();
  ASSERT_TRUE(waitUntil([&] { return finished->count() == 3; }, 30000));
  EXPECT_EQ(fixture.installedVersion(), QStringLiteral("1.0"));
}

// Long-lived feeds mark a critical update inside <sparkle:tags>: it cannot be skipped either.
TEST_F(UpdateWindowsTest, ACriticalUpdateWrittenTheOlderWayHasNoSkipButton) {
  publish(QStringLiteral("1.1"), {QStringLiteral("--critical")});
  QFile feed(fixture.feedPath());
  ASSERT_TRUE(feed.open(QIODevice::ReadOnly));
  QByteArray text = feed.readAll();
  feed.close();
  ASSERT_EQ(text.count("<sparkle:criticalUpdate/>"), 1);
  text.replace("<sparkle:criticalUpdate/>", "<sparkle:tags>\n  <sparkle:criticalUpdate />\n</sparkle:tags>");
  ASSERT_TRUE(feed.open(QIODevice::WriteOnly | QIODevice::Truncate));
  feed.write(text);
  feed.close();
  fixture.serveFeed();

  updater->checkForUpdatesInBackground();
  QWidget* window = waitForOffer();
  ASSERT_NE(window, nullptr);
  EXPECT_FALSE(child<QPushButton>(window, "skipButton")->isVisible());
  child<QPushButton>(window, "remindButton")->click();
  ASSERT_TRUE(waitForEnd());
}

TEST_F(UpdateWindowsTest, RemindMeLaterAndClosingTheWindowPutItOff) {
  publish(QStringLiteral("1.1"));
  updater->checkForUpdatesInBackground();
  QWidget* window = waitForOffer();
  ASSERT_NE(window, nullptr);
  child<QPushButton>(window, "remindButton")->click();
  ASSERT_TRUE(waitForEnd());
  EXPECT_FALSE(QFile::exists(QDir::homePath() + QStringLiteral("/Library/Preferences/com.quillane.plugin.plist")));

  updater->checkForUpdatesInBackground();
  window = waitForOffer();
  ASSERT_NE(window, nullptr) << "a reminder is not a skip: the next check asks again";
  window->close();
  ASSERT_TRUE(waitUntil([&] { return finished->count() == 2; }, 30000));
  spin(200);
  EXPECT_EQ(finished->count(), 2);
  EXPECT_EQ(fixture.installedVersion(), QStringLiteral("1.0"));
  EXPECT_EQ(delegate.calls, QStringList());
}

TEST_F(UpdateWindowsTest, ACheckThatFindsNothingSaysSoBeforeTheRunEnds) {
  publish(QStringLiteral("1.0"));
  AlertAnswerer answer(QStringLiteral("OK"));
  updater->checkForUpdates(nullptr);
  ASSERT_TRUE(waitForEnd());
  EXPECT_TRUE(answer.answered);
  EXPECT_TRUE(answer.text.contains(QLatin1String("1.0"))) << answer.text.toStdString();
  EXPECT_TRUE(answer.title.contains(QLatin1String("up to date"))) << answer.title.toStdString();
  EXPECT_EQ(delegate.calls, QStringList({QStringLiteral("didNotFind")}));
  EXPECT_EQ(finished->count(), 1);
}

TEST_F(UpdateWindowsTest, AFailureTheUserIsWatchingIsShownWithItsReason) {
  publish(QStringLiteral("1.1"), {QStringLiteral("--key"), fixture.otherKeyPath()});
  const auto before = snapshotTree(fixture.pluginPath());
  updater->checkForUpdates(nullptr);
  QWidget* window = waitForOffer();
  ASSERT_NE(window, nullptr);
  AlertAnswerer answer(QStringLiteral("OK"));
  child<QPushButton>(window, "installButton")->click();
  ASSERT_TRUE(waitForEnd());
  EXPECT_TRUE(answer.answered);
  EXPECT_TRUE(answer.text.contains(QLatin1String("signature"))) << answer.text.toStdString();
  EXPECT_EQ(finished->count(), 1);
  EXPECT_EQ(snapshotTree(fixture.pluginPath()), before);
  EXPECT_EQ(delegate.calls, QStringList());
}

TEST_F(UpdateWindowsTest, ProgressIsShownAndCancellingStopsTheDownload) {
  publish(QStringLiteral("1.1"));
  // The archive's server sends a little and then nothing.
  QFile archive(fixture.workDir() + QStringLiteral("/Quillane-1.1.tar.gz"));
  ASSERT_TRUE(archive.open(QIODevice::ReadOnly));
  TestHttpServer::Route stalled;
  stalled.body = archive.readAll();
  stalled.stallAfter = stalled.body.size() / 2;
  fixture.server().setRoute(QStringLiteral("/Quillane-1.1.tar.gz"), stalled);

  updater->checkForUpdates(nullptr);
  QWidget* window = waitForOffer();
  ASSERT_NE(window, nullptr);
  child<QPushButton>(window, "installButton")->click();
  auto* bar = child<QProgressBar>(window, "progressBar");
  ASSERT_NE(bar, nullptr);
  EXPECT_TRUE(waitUntil([&] { return bar->isVisible() && bar->value() > 0; }, 10000));
  auto* cancel = child<QPushButton>(window, "cancelButton");
  ASSERT_TRUE(cancel && cancel->isEnabled());
  cancel->click();
  ASSERT_TRUE(waitForEnd());
  EXPECT_EQ(finished->count(), 1);
  EXPECT_EQ(fixture.installedVersion(), QStringLiteral("1.0"));
  EXPECT_EQ(fixture.itemsBesidePlugin(), QStringList());
  EXPECT_EQ(visibleWindow(QStringLiteral("NSRunAlertPanel")), nullptr) << "a cancel is not an error";
}

// The desktop's web browser: a desktop entry, made the default for https, that writes down the
// address it was given.
QString installWebBrowser(const QString& marker) {
  const QString applications = qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/applications");
  QDir().mkpath(applications);
  QFile entry(applications + QStringLiteral("/org.quillane.test.Browser.desktop"));
  if (!entry.open(QIODevice::WriteOnly)) return QStringLiteral("cannot write the browser's entry");
  entry.write("[Desktop Entry]\nType=Application\nName=Browser\nMimeType=x-scheme-handler/https;\n"
              "Exec=sh -c 'printf %s \"$1\" > " + marker.toUtf8() + "' browser %u\n");
  const QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
  QDir().mkpath(config);
  QFile defaults(config + QStringLiteral("/mimeapps.list"));
  if (!defaults.open(QIODevice::WriteOnly)) return QStringLiteral("cannot write mimeapps.list");
  defaults.write("[Default Applications]\nx-scheme-handler/https=org.quillane.test.Browser.desktop\n");
  return {};
}

TEST_F(UpdateWindowsTest, AnInformationalUpdateIsAnnouncedWithItsPageAndNothingToInstall) {
  const QString marker = fixture.workDir() + QStringLiteral("/opened");
  ASSERT_EQ(installWebBrowser(marker), QString());
  runPublisher({QStringLiteral("feed"), QStringLiteral("--feed"), fixture.feedPath(), QStringLiteral("--unsigned"),
                QStringLiteral("--version"), QStringLiteral("2.0"), QStringLiteral("--informational"),
                QStringLiteral("--link"), QStringLiteral("https://quillane.example/2.0?from=1.0"),
                QStringLiteral("--description"), QStringLiteral("<p>Quillane 2 is a new purchase.</p>")});
  fixture.serveFeed();

  // In the background an announcement is no update at all.
  updater->checkForUpdatesInBackground();
  ASSERT_TRUE(waitForEnd());
  EXPECT_EQ(delegate.calls, QStringList({QStringLiteral("didNotFind")}));
  EXPECT_EQ(visibleWindow(QStringLiteral("SUUpdateAlert")), nullptr);

  updater->checkForUpdates(nullptr);
  QWidget* window = waitForOffer();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(child<QLabel>(window, "informativeLabel")->text().contains(QLatin1String("2.0")));
  auto* notes = child<QTextBrowser>(window, "releaseNotes");
  EXPECT_TRUE(waitUntil([&] { return notes->toPlainText().contains(QLatin1String("a new purchase")); }));
  EXPECT_FALSE(child<QPushButton>(window, "installButton")->isVisible());
  EXPECT_FALSE(child<QPushButton>(window, "skipButton")->isVisible());
  auto* learnMore = child<QPushButton>(window, "learnMoreButton");
  ASSERT_TRUE(learnMore && learnMore->isVisible());
  learnMore->click();
  ASSERT_TRUE(waitUntil([&] { return finished->count() == 2; }, 30000));
  QByteArray opened;
  waitUntil([&] {
    QFile file(marker);
    return file.open(QIODevice::ReadOnly) && !(opened = file.readAll()).isEmpty();
  }, 10000);
  EXPECT_EQ(opened, "https://quillane.example/2.0?from=1.0");
  EXPECT_EQ(fixture.installedVersion(), QStringLiteral("1.0"));
}

TEST_F(UpdateWindowsTest, AMajorUpgradeAsksEvenWhenUpdatesInstallSilently) {
  BundleSpec automatic;
  automatic.automaticallyUpdate = true;
  fixture.install(automatic);
  publish(QStringLiteral("2.0"), {QStringLiteral("--minimum-autoupdate-version"), QStringLiteral("2.0")});
  updater->checkForUpdatesInBackground();
  QWidget* window = waitForOffer();
  ASSERT_NE(window, nullptr) << "installed silently";
  EXPECT_TRUE(child<QPushButton>(window, "installButton")->isVisible());
  child<QPushButton>(window, "remindButton")->click();
  ASSERT_TRUE(waitForEnd());
  EXPECT_EQ(fixture.installedVersion(), QStringLiteral("1.0"));
}

}  // namespace
