// Whole runs of an updater against a loopback server: what gets installed, what is refused,
// and what the delegate and the observers of the end-of-run notification see.
#include "run_harness.h"
#include "test_support.h"
#include "update_fixture.h"

#include <QApplication>
#include <QProcess>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFile>
#include <QWidget>

#include <gtest/gtest.h>

#include <csignal>

namespace {

const QString kRelaunchedName = QStringLiteral("com.quillane.test.relaunched");

bool anyWindowShown() {
  for (QWidget* widget : QApplication::topLevelWidgets())
    if (widget->isVisible()) return true;
  return false;
}

class UpdateRunTest : public testing::Test {
 protected:
  // A run to the end: starts it, waits for its notification and a little longer, so a second
  // notification would be seen.
  void runToEnd(updater::SUUpdater* updater, bool background = true) {
    FinishedCounter finished(updater);
    if (background) {
      updater->checkForUpdatesInBackground();
    } else {
      updater->checkForUpdates(nullptr);
    }
    ASSERT_TRUE(waitUntil([&] { return finished.count() > 0; }, 30000)) << "the run never ended";
    spin(300);
    finishedCount = finished.count();
    EXPECT_FALSE(updater->isRunning());
  }

  UpdateFixture fixture;
  RecordingDelegate delegate;
  int finishedCount = 0;
};

// The installed plug-in, its items and their contents, for "left as it was" checks.
struct Untouched {
  explicit Untouched(const UpdateFixture& fixture)
      : fixture(fixture), before(snapshotTree(fixture.pluginPath())) {}
  void check() const {
    EXPECT_EQ(snapshotTree(fixture.pluginPath()), before) << "the installed plug-in changed";
    EXPECT_EQ(fixture.itemsBesidePlugin(), QStringList()) << "the run left items behind";
  }
  const UpdateFixture& fixture;
  std::map<QString, QByteArray> before;
};

TEST_F(UpdateRunTest, InstallsANewerVersionSilentlyAndRelaunchesTheApplication) {
  BundleSpec installed;
  installed.automaticallyUpdate = true;
  fixture.install(installed);
  BundleSpec next;
  next.version = QStringLiteral("1.1");
  next.shortVersion = QStringLiteral("1.1");
  next.automaticallyUpdate = true;
  next.payload = "new payload";
  fixture.publish(fixture.buildArchive(QStringLiteral("Quillane-1.1.tar.gz"), next));

  // The application to relaunch: a desktop entry that starts a program claiming a bus name.
  const QString marker = fixture.workDir() + QStringLiteral("/relaunched");
  const QString entry = qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/applications/") +
                        kRelaunchedName + QStringLiteral(".desktop");
  {
    QDir().mkpath(QFileInfo(entry).path());
    QFile file(entry);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[Desktop Entry]\nType=Application\nName=Relaunched\nExec=" +
               qgetenv("QUILLANE_BUILD_DIR") + "/bin/updater_relaunch_target " +
               kRelaunchedName.toUtf8() + ' ' + marker.toUtf8() + "\n");
  }
  delegate.relaunchPath = entry;

  // At "will install", the old version is still in place; at the end, the new one is, and
  // the relaunched application is already on the bus.
  QString versionAtWillInstall;
  delegate.onWillInstall = [&] { versionAtWillInstall = fixture.installedVersion(); };
  updater::SUUpdater* updater = updaterAt(fixture.pluginPath());
  ASSERT_NE(updater, nullptr);
  updater->setDelegate(&delegate);
  bool relaunchedOnBusAtEnd = false;
  QString versionAtEnd;
  FinishedCounter observer(updater);
  observer.onFinished = [&] {
    versionAtEnd = fixture.installedVersion();
    relaunchedOnBusAtEnd = QDBusConnection::sessionBus().interface()->isServiceRegistered(kRelaunchedName);
  };

  runToEnd(updater);

  EXPECT_EQ(finishedCount, 1);
  EXPECT_EQ(delegate.calls, QStringList({QStringLiteral("willInstall 1.1"), QStringLiteral("pathToRelaunch")}));
  EXPECT_EQ(versionAtWillInstall, QStringLiteral("1.0"));
  EXPECT_EQ(versionAtEnd, QStringLiteral("1.1"));
  EXPECT_EQ(fixture.installedPayload(), QByteArray("new payload"));
  EXPECT_TRUE(relaunchedOnBusAtEnd);
  EXPECT_EQ(fixture.itemsBesidePlugin(), QStringList()) << "the old version and the download are gone";
  EXPECT_FALSE(anyWindowShown());
  EXPECT_EQ(QFileInfo(fixture.pluginPath() + QStringLiteral("/Contents/MacOS/Quillane")).permissions() &
                QFileDevice::ExeOwner,
            QFileDevice::ExeOwner);

  QFile pid(marker);
  if (pid.open(QIODevice::ReadOnly)) ::kill(pid.readAll().trimmed().toInt(), SIGTERM);
}

TEST_F(UpdateRunTest, NothingNewerIsReportedAndChangesNothing) {
  fixture.install();
  BundleSpec same;  // 1.0, as installed
  fixture.publish(fixture.buildArchive(QStringLiteral("Quillane-1.0.tar.gz"), same));
  Untouched untouched(fixture);
  updater::SUUpdater* updater = updaterAt(fixture.pluginPath());
  ASSERT_NE(updater, nullptr);
  updater->setDelegate(&delegate);

  runToEnd(updater);

  EXPECT_EQ(finishedCount, 1);
  EXPECT_EQ(delegate.calls, QStringList({QStringLiteral("didNotFind")}));
  EXPECT_EQ(fixture.server().served(QStringLiteral("/Quillane-1.0.tar.gz")).requests, 0);
  EXPECT_FALSE(anyWindowShown());
  untouched.check();
}

// Every way an update can be unfit ends the same: not installed, the plug-in as it was,
// nothing left behind, the delegate never told to get ready, one notification.
TEST_F(UpdateRunTest, RefusesUpdatesThatCannotBeTrusted) {
  struct Case {
    const char* name;
    std::function<void(UpdateFixture&, const QString& archive)> publish;
  };
  BundleSpec next;
  next.version = QStringLiteral("1.1");
  next.shortVersion = QStringLiteral("1.1");
  next.payload = "new payload";

  const std::vector<Case> cases = {
      {"signed with another key",
       [](UpdateFixture& f, const QString& archive) {
         f.publish(archive, {QStringLiteral("--key"), f.otherKeyPath()});
       }},
      {"archive altered after signing",
       [](UpdateFixture& f, const QString& archive) {
         f.publish(archive);
         QFile file(archive);
         ASSERT_TRUE(file.open(QIODevice::ReadWrite));
         QByteArray bytes = file.readAll();
         bytes[bytes.size() / 2] = char(bytes[bytes.size() / 2] ^ 0x55);
         TestHttpServer::Route route;
         route.body = bytes;
         f.server().setRoute(QLatin1Char('/') + QFileInfo(archive).fileName(), route);
       }},
      {"longer than declared",
       [](UpdateFixture& f, const QString& archive) {
         f.publish(archive);
         QFile file(archive);
         ASSERT_TRUE(file.open(QIODevice::ReadOnly));
         TestHttpServer::Route route;
         route.body = file.readAll() + QByteArray(64 * 1024, 'x');
         route.announcedLength = TestHttpServer::kNoLength;
         f.server().setRoute(QLatin1Char('/') + QFileInfo(archive).fileName(), route);
       }},
      {"moved to plain http off this machine",
       [](UpdateFixture& f, const QString& archive) {
         f.publish(archive);
         f.server().setRedirect(QLatin1Char('/') + QFileInfo(archive).fileName(),
                                QStringLiteral("http://updates.example.com/Quillane.tar.gz"));
       }},
      {"a network feed naming a file on this machine",
       [](UpdateFixture& f, const QString& archive) {
         f.publish(archive);
         QFile feed(f.feedPath());
         ASSERT_TRUE(feed.open(QIODevice::ReadOnly));
         QByteArray text = feed.readAll();
         const QByteArray served = f.server().url(QLatin1Char('/') + QFileInfo(archive).fileName()).toEncoded();
         ASSERT_TRUE(text.contains(served));
         text.replace(served, QUrl::fromLocalFile(archive).toEncoded());
         f.server().setBody(QStringLiteral("/appcast.xml"), text);  // an unsigned feed: not required here
       }},
      {"another product inside",
       [next](UpdateFixture& f, const QString&) {
         BundleSpec other = next;
         other.identifier = QStringLiteral("com.example.other");
         f.publish(f.buildArchive(QStringLiteral("Other-1.1.tar.gz"), other),
                   {QStringLiteral("--version"), QStringLiteral("1.1")});
       }},
  };

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UpdateFixture f;
    BundleSpec installed;
    installed.automaticallyUpdate = true;
    f.install(installed);
    const QString archive = f.buildArchive(QStringLiteral("Quillane-1.1.tar.gz"), next);
    c.publish(f, archive);
    Untouched untouched(f);
    RecordingDelegate watcher;
    updater::SUUpdater* updater = updaterAt(f.pluginPath());
    ASSERT_NE(updater, nullptr);
    updater->setDelegate(&watcher);

    runToEnd(updater);

    EXPECT_EQ(finishedCount, 1);
    EXPECT_EQ(watcher.calls, QStringList());
    EXPECT_FALSE(anyWindowShown());
    untouched.check();
    updater->setDelegate(nullptr);
  }
}

TEST_F(UpdateRunTest, FeedProblemsEndTheRunOnceAndTouchNothing) {
  struct Case {
    const char* name;
    std::function<void(UpdateFixture&)> prepare;
    bool requireSignedFeed = false;
  };
  BundleSpec next;
  next.version = QStringLiteral("1.1");
  const std::vector<Case> cases = {
      {"no feed on the server", [](UpdateFixture&) {}},
      {"not a feed", [](UpdateFixture& f) { f.server().setBody(QStringLiteral("/appcast.xml"), "<html>oops</html>"); }},
      {"unsigned feed where signed ones are required",
       [next](UpdateFixture& f) {
         f.publish(f.buildArchive(QStringLiteral("Quillane-1.1.tar.gz"), next), {QStringLiteral("--unsigned")});
       },
       true},
      {"expired feed",
       [next](UpdateFixture& f) {
         f.publish(f.buildArchive(QStringLiteral("Quillane-1.1.tar.gz"), next),
                   {QStringLiteral("--expires"), QStringLiteral("2001-01-01T00:00:00Z")});
       },
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UpdateFixture f;
    BundleSpec installed;
    installed.automaticallyUpdate = true;
    installed.requireSignedFeed = c.requireSignedFeed;
    f.install(installed);
    c.prepare(f);
    Untouched untouched(f);
    RecordingDelegate watcher;
    updater::SUUpdater* updater = updaterAt(f.pluginPath());
    ASSERT_NE(updater, nullptr);
    updater->setDelegate(&watcher);

    runToEnd(updater);

    EXPECT_EQ(finishedCount, 1);
    EXPECT_EQ(watcher.calls, QStringList());
    untouched.check();
    updater->setDelegate(nullptr);
  }
}

TEST_F(UpdateRunTest, ChecksDuringARunAreIgnored) {
  BundleSpec installed;
  installed.automaticallyUpdate = true;
  fixture.install(installed);
  BundleSpec next;
  next.version = QStringLiteral("1.1");
  fixture.publish(fixture.buildArchive(QStringLiteral("Quillane-1.1.tar.gz"), next));
  updater::SUUpdater* updater = updaterAt(fixture.pluginPath());
  ASSERT_NE(updater, nullptr);
  updater->setDelegate(&delegate);
  // A check asked for while the delegate is preparing for the install, and two at the start.
  delegate.onWillInstall = [&] { updater->checkForUpdatesInBackground(); };

  FinishedCounter finished(updater);
  updater->checkForUpdatesInBackground();
  EXPECT_TRUE(updater->isRunning());
  updater->checkForUpdatesInBackground();
  updater->checkForUpdates(nullptr);
  ASSERT_TRUE(waitUntil([&] { return finished.count() > 0; }, 30000));
  spin(500);

  EXPECT_EQ(finished.count(), 1);
  EXPECT_EQ(fixture.server().served(QStringLiteral("/appcast.xml")).requests, 1);
  EXPECT_EQ(delegate.calls, QStringList({QStringLiteral("willInstall 1.1"), QStringLiteral("pathToRelaunch")}));
  EXPECT_EQ(fixture.installedVersion(), QStringLiteral("1.1"));

  // Once the run is over, a new check runs (and finds nothing newer).
  delegate.calls.clear();
  runToEnd(updater);
  EXPECT_EQ(finishedCount, 1);
  EXPECT_EQ(delegate.calls, QStringList({QStringLiteral("didNotFind")}));
}

TEST_F(UpdateRunTest, AnObserverMayStartTheNextCheckFromTheNotification) {
  fixture.install();
  updater::SUUpdater* updater = updaterAt(fixture.pluginPath());
  ASSERT_NE(updater, nullptr);
  updater->setDelegate(&delegate);
  fixture.server().setBody(QStringLiteral("/appcast.xml"), "not a feed");
  FinishedCounter finished(updater);
  finished.onFinished = [&] {
    if (finished.count() == 1) updater->checkForUpdatesInBackground();
  };
  updater->checkForUpdatesInBackground();
  ASSERT_TRUE(waitUntil([&] { return finished.count() >= 2; }, 30000));
  spin(300);
  EXPECT_EQ(finished.count(), 2);
  EXPECT_EQ(fixture.server().served(QStringLiteral("/appcast.xml")).requests, 2);
}

TEST_F(UpdateRunTest, ABackgroundCheckPassesOverASkippedVersionButNotALaterOne) {
  BundleSpec installed;
  installed.automaticallyUpdate = true;
  fixture.install(installed);
  BundleSpec next;
  next.version = QStringLiteral("1.1");
  fixture.publish(fixture.buildArchive(QStringLiteral("Quillane-1.1.tar.gz"), next));
  // The preference domain named after the plug-in holds the skipped version.
  {
    const QString prefs = QDir::homePath() + QStringLiteral("/Library/Preferences");
    QDir().mkpath(prefs);
    QFile domain(prefs + QStringLiteral("/com.quillane.plugin.plist"));
    ASSERT_TRUE(domain.open(QIODevice::WriteOnly));
    domain.write("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                 "<key>SUSkippedVersion</key><string>1.1</string></dict></plist>\n");
  }
  updater::SUUpdater* updater = updaterAt(fixture.pluginPath());
  ASSERT_NE(updater, nullptr);
  updater->setDelegate(&delegate);

  runToEnd(updater);
  EXPECT_EQ(delegate.calls, QStringList({QStringLiteral("didNotFind")}));
  EXPECT_EQ(fixture.installedVersion(), QStringLiteral("1.0"));

  BundleSpec later;
  later.version = QStringLiteral("1.2");
  fixture.publish(fixture.buildArchive(QStringLiteral("Quillane-1.2.tar.gz"), later));
  delegate.calls.clear();
  runToEnd(updater);
  EXPECT_EQ(delegate.calls, QStringList({QStringLiteral("willInstall 1.2"), QStringLiteral("pathToRelaunch")}));
  EXPECT_EQ(fixture.installedVersion(), QStringLiteral("1.2"));
}

TEST_F(UpdateRunTest, BundlesThatCannotBeUpdatedGetNoUpdater) {
  const QString empty = fixture.workDir() + QStringLiteral("/Empty.mailbundle");
  QDir().mkpath(empty);
  EXPECT_EQ(updaterAt(empty), nullptr);

  fixture.install();
  updater::SUUpdater* first = updaterAt(fixture.pluginPath());
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(updaterAt(fixture.pluginPath() + QStringLiteral("/")), first) << "one updater per bundle";

  // A bundle that loses its Info.plist after its updater exists: the run fails, once.
  QFile::remove(fixture.pluginPath() + QStringLiteral("/Contents/Info.plist"));
  first->setDelegate(&delegate);
  runToEnd(first);
  EXPECT_EQ(finishedCount, 1);
  EXPECT_EQ(delegate.calls, QStringList());
}

// A plug-in at 1.0 whose publisher offers 1.1 as a full archive and as a delta from 1.0.
struct DeltaRelease {
  explicit DeltaRelease(UpdateFixture& f) {
    installed.automaticallyUpdate = true;
    f.install(installed);
    const QString old = f.buildArchive(QStringLiteral("Quillane-1.0.tar.gz"), installed);
    BundleSpec next = installed;
    next.version = QStringLiteral("1.1");
    next.payload = "new payload";
    archive = f.buildArchive(QStringLiteral("Quillane-1.1.tar.gz"), next);
    expected = snapshotTree(f.workDir() + QStringLiteral("/build-Quillane-1.1.tar.gz/Quillane.mailbundle"));
    delta = f.makeDelta(QStringLiteral("Quillane-1.1-from-1.0.delta"), old, archive);
  }
  QString archivePath() const { return QLatin1Char('/') + QFileInfo(archive).fileName(); }
  QString deltaPath() const { return QLatin1Char('/') + QFileInfo(delta).fileName(); }

  BundleSpec installed;
  QString archive;
  QString delta;
  std::map<QString, QByteArray> expected;
};

// Where two trees differ, for failure messages.
std::string differences(const std::map<QString, QByteArray>& expected, const std::map<QString, QByteArray>& actual) {
  std::string out;
  for (const auto& [path, entry] : expected) {
    auto found = actual.find(path);
    if (found == actual.end()) out += "missing " + path.toStdString() + "; ";
    else if (found->second != entry) out += "differs " + path.toStdString() + " (" + entry.left(8).toStdString() + " / " + found->second.left(8).toStdString() + "); ";
  }
  for (const auto& [path, entry] : actual) {
    if (!expected.count(path)) out += "extra " + path.toStdString() + "; ";
  }
  return out;
}

QByteArray fileBytes(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The feed as published, edited as text and served.
void serveEditedFeed(UpdateFixture& f, const QByteArray& from, const QByteArray& to) {
  QByteArray text = fileBytes(f.feedPath());
  ASSERT_TRUE(text.contains(from)) << from.toStdString();
  text.replace(from, to);
  f.server().setBody(QStringLiteral("/appcast.xml"), text);
}

QByteArray signatureOf(const QString& file, const QString& key) {
  const QString printed = runPublisher({QStringLiteral("sign"), QStringLiteral("--key"), key, file});
  return printed.section(u'"', 1, 1).toLatin1();
}

TEST_F(UpdateRunTest, ADeltaFromTheInstalledVersionIsAllThatIsDownloaded) {
  DeltaRelease release(fixture);
  fixture.publish(release.archive, fixture.deltaOptions(release.delta));
  updater::SUUpdater* updater = updaterAt(fixture.pluginPath());
  updater->setDelegate(&delegate);

  runToEnd(updater);

  EXPECT_EQ(delegate.calls, QStringList({QStringLiteral("willInstall 1.1"), QStringLiteral("pathToRelaunch")}));
  EXPECT_TRUE(snapshotTree(fixture.pluginPath()) == release.expected) << differences(release.expected, snapshotTree(fixture.pluginPath()));
  EXPECT_EQ(fixture.server().served(release.deltaPath()).bodyBytesSent, QFileInfo(release.delta).size());
  EXPECT_EQ(fixture.server().served(release.archivePath()).requests, 0);
  EXPECT_EQ(fixture.itemsBesidePlugin(), QStringList());
  updater->setDelegate(nullptr);
}

TEST_F(UpdateRunTest, AnyFailureOfTheDeltaFallsBackToTheFullArchiveInTheSameRun) {
  struct Case {
    const char* name;
    std::function<void(UpdateFixture&, const DeltaRelease&)> spoil;
  };
  const std::vector<Case> cases = {
      {"a locally modified plug-in",
       [](UpdateFixture& f, const DeltaRelease& r) {
         f.publish(r.archive, f.deltaOptions(r.delta));
         QFile executable(f.pluginPath() + QStringLiteral("/Contents/MacOS/Quillane"));
         ASSERT_TRUE(executable.open(QIODevice::Append));
         executable.write("# patched by hand\n");
       }},
      {"a delta altered after signing",
       [](UpdateFixture& f, const DeltaRelease& r) {
         f.publish(r.archive, f.deltaOptions(r.delta));
         QByteArray bytes = fileBytes(r.delta);
         bytes[bytes.size() / 2] = char(bytes[bytes.size() / 2] ^ 0x55);
         f.server().setBody(r.deltaPath(), bytes);
       }},
      {"a delta signed with another key",
       [](UpdateFixture& f, const DeltaRelease& r) {
         f.publish(r.archive, f.deltaOptions(r.delta));
         serveEditedFeed(f, signatureOf(r.delta, f.keyPath()), signatureOf(r.delta, f.otherKeyPath()));
       }},
      {"a delta from another version",
       [](UpdateFixture& f, const DeltaRelease& r) {
         BundleSpec older = r.installed;
         older.version = QStringLiteral("0.9");
         older.payload = "older payload";
         const QString from09 = f.makeDelta(QStringLiteral("Quillane-1.1-from-0.9.delta"),
                                            f.buildArchive(QStringLiteral("Quillane-0.9.tar.gz"), older), r.archive);
         f.publish(r.archive, f.deltaOptions(from09));
         serveEditedFeed(f, "sparkle:deltaFrom=\"0.9\"", "sparkle:deltaFrom=\"1.0\"");
       }},
      {"a delta whose manifest lies about a hash",
       [](UpdateFixture& f, const DeltaRelease& r) {
         const QString lying = f.workDir() + QStringLiteral("/Quillane-1.1-lying.delta");
         ASSERT_EQ(QProcess::execute(qEnvironmentVariable("QUILLANE_BUILD_DIR") + QStringLiteral("/bin/updater_delta_liar"),
                                     {r.delta, lying, QStringLiteral("Contents/Resources/payload.txt")}),
                   0);
         f.server().setFile(QStringLiteral("/Quillane-1.1-lying.delta"), lying);
         f.publish(r.archive, f.deltaOptions(lying));
       }},
      {"a delta that cannot be downloaded",
       [](UpdateFixture& f, const DeltaRelease& r) {
         f.publish(r.archive, f.deltaOptions(r.delta));
         TestHttpServer::Route missing;
         missing.status = 404;
         f.server().setRoute(r.deltaPath(), missing);
       }},
  };

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UpdateFixture f;
    DeltaRelease release(f);
    c.spoil(f, release);
    RecordingDelegate watcher;
    updater::SUUpdater* updater = updaterAt(f.pluginPath());
    ASSERT_NE(updater, nullptr);
    updater->setDelegate(&watcher);

    runToEnd(updater);

    EXPECT_EQ(finishedCount, 1);
    EXPECT_EQ(watcher.calls, QStringList({QStringLiteral("willInstall 1.1"), QStringLiteral("pathToRelaunch")}));
    EXPECT_TRUE(snapshotTree(f.pluginPath()) == release.expected) << differences(release.expected, snapshotTree(f.pluginPath()));
    EXPECT_EQ(f.server().served(release.archivePath()).requests, 1);
    EXPECT_EQ(f.itemsBesidePlugin(), QStringList());
    EXPECT_FALSE(anyWindowShown());
    updater->setDelegate(nullptr);
  }
}

TEST_F(UpdateRunTest, ADeltaAndAnArchiveThatBothFailLeaveThePlugInAsItWas) {
  DeltaRelease release(fixture);
  fixture.publish(release.archive, fixture.deltaOptions(release.delta));
  for (const QString& path : {release.deltaPath(), release.archivePath()}) {
    QByteArray bytes = fileBytes(path == release.deltaPath() ? release.delta : release.archive);
    bytes[bytes.size() / 3] = char(bytes[bytes.size() / 3] ^ 0x55);
    fixture.server().setBody(path, bytes);
  }
  Untouched untouched(fixture);
  updater::SUUpdater* updater = updaterAt(fixture.pluginPath());
  updater->setDelegate(&delegate);

  runToEnd(updater);

  EXPECT_EQ(finishedCount, 1);
  EXPECT_EQ(delegate.calls, QStringList());
  EXPECT_EQ(fixture.server().served(release.deltaPath()).requests, 1);
  EXPECT_EQ(fixture.server().served(release.archivePath()).requests, 1);
  untouched.check();
  updater->setDelegate(nullptr);
}

}  // namespace
