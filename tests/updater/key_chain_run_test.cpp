// Whole runs across key rotations, a recovery after a leak, replayed feeds and settings that
// cannot be written: feeds, keys and statements made with update-publisher, as a publisher would.
#include "run_harness.h"
#include "test_support.h"
#include "update_fixture.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

namespace {

// What the updater logs (stderr) while it is alive.
class LogCapture {
 public:
  LogCapture() {
    std::fflush(stderr);
    saved_ = ::dup(2);
    file_ = std::tmpfile();
    ::dup2(::fileno(file_), 2);
  }
  ~LogCapture() {
    std::fflush(stderr);
    ::dup2(saved_, 2);
    ::close(saved_);
    std::fclose(file_);
  }
  QString text() const {
    std::fflush(stderr);
    QFile file;
    const int fd = ::dup(::fileno(file_));
    file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
    file.seek(0);
    return QString::fromUtf8(file.readAll());
  }

 private:
  int saved_ = -1;
  std::FILE* file_ = nullptr;
};

class KeyChainRunTest : public testing::Test {
 protected:
  // One background run to its end.
  void runOnce() {
    updater::SUUpdater* updater = updaterAt(f.pluginPath());
    ASSERT_NE(updater, nullptr);
    FinishedCounter finished(updater);
    updater->checkForUpdatesInBackground();
    ASSERT_TRUE(waitUntil([&] { return finished.count() > 0; }, 30000)) << "the run never ended";
    ASSERT_TRUE(waitUntil([&] { return !updater->isRunning(); }, 5000));
  }
  QString key(const QString& name) {
    const QString path = f.workDir() + u'/' + name + QStringLiteral(".key");
    publicKeys[name] = runPublisher({QStringLiteral("keygen"), QStringLiteral("--key"), path});
    return path;
  }
  void rotate(const QString& signer, const QString& newKey) {
    runPublisher({QStringLiteral("rotate-key"), QStringLiteral("--feed"), f.feedPath(), QStringLiteral("--key"), signer,
                  QStringLiteral("--new-key"), newKey});
    f.serveFeed();
  }
  // Publishes release `version`, whose bundle names `publicKey`, signed with keyPath.
  void release(const QString& version, const QString& keyPath, const QString& publicKey) {
    BundleSpec next;
    next.version = version;
    next.publicEDKey = publicKey;
    next.requireSignedFeed = true;
    next.automaticallyUpdate = true;
    next.recoveryPublicKeys = {publicKeys[QStringLiteral("recovery")]};
    next.payload = "payload of " + version.toUtf8();
    f.publish(f.buildArchive(QStringLiteral("Quillane-%1.tar.gz").arg(version), next), {QStringLiteral("--key"), keyPath});
  }
  BundleSpec firstRelease() {
    BundleSpec installed;
    installed.version = QStringLiteral("1");
    installed.requireSignedFeed = true;
    installed.automaticallyUpdate = true;
    installed.recoveryPublicKeys = {publicKeys[QStringLiteral("recovery")]};
    return installed;
  }
  void installFirstRelease() {
    QDir(f.pluginPath()).removeRecursively();
    f.install(firstRelease());
  }
  QString settingsPath() const { return QDir::homePath() + QStringLiteral("/Library/Preferences/com.quillane.plugin.plist"); }

  UpdateFixture f;
  std::map<QString, QString> publicKeys;
};

TEST_F(KeyChainRunTest, APlugInTenReleasesOldFollowsTwoRotationsAndARecoveryToTheCurrentRelease) {
  const QString recovery = key(QStringLiteral("recovery"));
  const QString second = key(QStringLiteral("second"));
  const QString third = key(QStringLiteral("third"));
  const QString fourth = key(QStringLiteral("fourth"));
  installFirstRelease();

  // The publisher's history, one release at a time; the plug-in checks once after each.
  struct Step {
    int version;
    std::function<void()> before;
    QString keyPath;
    QString publicKey;
  };
  const std::vector<Step> steps = {
      {2, {}, f.keyPath(), f.publicKey()},
      {3, {}, f.keyPath(), f.publicKey()},
      {4, [&] { rotate(f.keyPath(), second); }, second, publicKeys[QStringLiteral("second")]},
      {5, {}, second, publicKeys[QStringLiteral("second")]},
      {6, {}, second, publicKeys[QStringLiteral("second")]},
      {7, [&] { rotate(second, third); }, third, publicKeys[QStringLiteral("third")]},
      {8, {}, third, publicKeys[QStringLiteral("third")]},
      // The third key leaks: the recovery key, kept offline, replaces it.
      {9, [&] { rotate(recovery, fourth); }, fourth, publicKeys[QStringLiteral("fourth")]},
      {10, {}, fourth, publicKeys[QStringLiteral("fourth")]},
      {11, {}, fourth, publicKeys[QStringLiteral("fourth")]},
  };
  QByteArray feedBeforeRecovery;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.version);
    if (step.version == 9) {
      QFile feed(f.feedPath());
      ASSERT_TRUE(feed.open(QIODevice::ReadOnly));
      feedBeforeRecovery = feed.readAll();
    }
    if (step.before) step.before();
    release(QString::number(step.version), step.keyPath, step.publicKey);
    runOnce();
    EXPECT_EQ(f.installedVersion(), QString::number(step.version));
  }

  // Whoever holds the leaked third key publishes "12" over the feed they last saw: refused.
  {
    QFile::copy(f.feedPath(), f.workDir() + QStringLiteral("/current.xml"));
    QFile feed(f.feedPath());
    ASSERT_TRUE(feed.open(QIODevice::WriteOnly | QIODevice::Truncate));
    feed.write(feedBeforeRecovery);
    feed.close();
    release(QStringLiteral("12"), third, publicKeys[QStringLiteral("third")]);
    LogCapture log;
    runOnce();
    EXPECT_EQ(f.installedVersion(), QStringLiteral("11"));
    EXPECT_TRUE(log.text().contains(QStringLiteral("signed by a replaced key"))) << log.text().toStdString();
  }

  // Another user's copy, ten releases old and never run since: one run, one feed, all three statements.
  QFile::remove(settingsPath());
  QFile::remove(f.feedPath());
  QFile::copy(f.workDir() + QStringLiteral("/current.xml"), f.feedPath());
  f.serveFeed();
  installFirstRelease();
  runOnce();
  EXPECT_EQ(f.installedVersion(), QStringLiteral("11"));
  EXPECT_EQ(f.installedPayload(), QByteArray("payload of 11"));
}

TEST_F(KeyChainRunTest, AReplayedOlderFeedIsRefusedAndTheNewestAccepted) {
  key(QStringLiteral("recovery"));
  installFirstRelease();
  release(QStringLiteral("2"), f.keyPath(), f.publicKey());
  QFile older(f.feedPath());
  ASSERT_TRUE(older.open(QIODevice::ReadOnly));
  const QByteArray olderFeed = older.readAll();  // serial 1
  runPublisher({QStringLiteral("sign-feed"), QStringLiteral("--key"), f.keyPath(), QStringLiteral("--feed"), f.feedPath()});
  f.serveFeed();  // serial 2, the same release
  runOnce();
  ASSERT_EQ(f.installedVersion(), QStringLiteral("2"));

  RecordingDelegate delegate;
  updaterAt(f.pluginPath())->setDelegate(&delegate);
  f.server().setBody(QStringLiteral("/appcast.xml"), olderFeed);
  {
    LogCapture log;
    runOnce();
    EXPECT_TRUE(log.text().contains(QStringLiteral("The update feed (serial 1) is older than a feed already seen (serial 2)")))
        << log.text().toStdString();
  }
  EXPECT_EQ(delegate.calls, QStringList());  // refused, not "nothing new"
  f.serveFeed();
  runOnce();
  EXPECT_EQ(delegate.calls, QStringList{QStringLiteral("didNotFind")});  // the newest again: accepted
  updaterAt(f.pluginPath())->setDelegate(nullptr);
}

TEST_F(KeyChainRunTest, WhatAReplacedKeySignedOrABundleNamingAnotherKeyIsNotInstalled) {
  const QString second = key(QStringLiteral("second"));
  key(QStringLiteral("recovery"));
  struct Case {
    const char* name;
    std::function<void()> publish;
    const char* logged;
  };
  const std::vector<Case> cases = {
      {"archive and delta signed by the key the statement replaced",
       [&] {
         release(QStringLiteral("1.1"), f.keyPath(), publicKeys[QStringLiteral("second")]);
         const QString delta = f.makeDelta(QStringLiteral("1-1.1.delta"), f.buildArchive(QStringLiteral("old.tar.gz"), firstRelease()),
                                           f.workDir() + QStringLiteral("/Quillane-1.1.tar.gz"));
         f.publish(f.workDir() + QStringLiteral("/Quillane-1.1.tar.gz"), QStringList{QStringLiteral("--key"), f.keyPath()} + f.deltaOptions(delta));
         rotate(f.keyPath(), second);
       },
       "was not used"},
      {"a bundle naming the replaced key",
       [&] {
         release(QStringLiteral("1.1"), f.keyPath(), f.publicKey());
         rotate(f.keyPath(), second);
         release(QStringLiteral("1.1"), second, f.publicKey());
       },
       "is not the key in force"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QFile::remove(f.feedPath());
    QFile::remove(settingsPath());
    installFirstRelease();
    c.publish();
    const std::map<QString, QByteArray> before = snapshotTree(f.pluginPath());
    LogCapture log;
    runOnce();
    EXPECT_EQ(snapshotTree(f.pluginPath()), before);
    EXPECT_TRUE(log.text().contains(QString::fromLatin1(c.logged))) << log.text().toStdString();
  }
}

TEST_F(KeyChainRunTest, SettingsThatCannotBeWrittenLeaveTheRunFailingClosed) {
  const QString second = key(QStringLiteral("second"));
  key(QStringLiteral("recovery"));
  installFirstRelease();
  release(QStringLiteral("2"), f.keyPath(), publicKeys[QStringLiteral("second")]);
  rotate(f.keyPath(), second);  // the feed's only way to trust the second key
  release(QStringLiteral("2"), second, publicKeys[QStringLiteral("second")]);
  // A Preferences folder that cannot be made, even by root: a link to nowhere.
  const QString preferences = QDir::homePath() + QStringLiteral("/Library/Preferences");
  const QString aside = preferences + QStringLiteral(".aside");
  QDir().rename(preferences, aside);
  ASSERT_TRUE(QFile::link(f.workDir() + QStringLiteral("/nowhere/Preferences"), preferences));
  const std::map<QString, QByteArray> before = snapshotTree(f.pluginPath());
  {
    LogCapture log;
    runOnce();
    EXPECT_TRUE(log.text().contains(QStringLiteral("cannot be recorded"))) << log.text().toStdString();
  }
  EXPECT_EQ(snapshotTree(f.pluginPath()), before);
  QFile::remove(preferences);
  QDir().rename(aside, preferences);
  runOnce();
  EXPECT_EQ(f.installedVersion(), QStringLiteral("2"));
}

}  // namespace
