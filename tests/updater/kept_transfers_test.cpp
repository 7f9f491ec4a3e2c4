// What a run keeps between checks so that no byte is fetched twice: the last accepted feed,
// asked about with its validators, and the parts of archive downloads that ended early. Whole
// runs against a loopback server that counts the bytes on the wire.
#include "run_harness.h"
#include "test_support.h"
#include "update_fixture.h"

#include "updater/kept_download.h"
#include "updater/kept_files.h"

#include <QRandomGenerator>

#include <QDateTime>
#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <cstdio>

namespace {

const QString kFeed = QStringLiteral("/appcast.xml");

class KeptTransfersTest : public testing::Test {
 protected:
  void SetUp() override {
    // One sandbox HOME serves every test of this program: start each without kept files.
    QDir(updater::keptFilesFolder(BundleSpec().identifier)).removeRecursively();
  }

  // Serves the feed file as it is now, with a validator, answering 304 to a request naming it.
  void serveFeed(const QByteArray& etag) {
    QFile feed(fixture.feedPath());
    ASSERT_TRUE(feed.open(QIODevice::ReadOnly));
    TestHttpServer::Route route;
    route.body = feed.readAll();
    route.headers = {{"ETag", etag}};
    route.conditional = true;
    fixture.server().setRoute(kFeed, route);
  }

  void runToEnd(updater::SUUpdater* updater, bool background = true) {
    FinishedCounter finished(updater);
    if (background) {
      updater->checkForUpdatesInBackground();
    } else {
      updater->checkForUpdates(nullptr);
    }
    ASSERT_TRUE(waitUntil([&] { return finished.count() > 0; }, 60000)) << "the run never ended";
    spin(100);
  }

  UpdateFixture fixture;
  RecordingDelegate delegate;
};

TEST_F(KeptTransfersTest, AnUnchangedFeedCostsUnderOneKibibyteOnTheWire) {
  BundleSpec installed;
  installed.requireSignedFeed = true;
  fixture.install(installed);
  // A feed of a few kilobytes, as release notes make them.
  fixture.publish(fixture.buildArchive(QStringLiteral("Quillane-1.0.tar.gz"), BundleSpec()),
                  {QStringLiteral("--description"), QStringLiteral("Fixes and improvements. ").repeated(200)});
  serveFeed("\"feed-1\"");
  updater::SUUpdater* updater = updaterAt(fixture.pluginPath());
  ASSERT_NE(updater, nullptr);
  updater->setDelegate(&delegate);

  runToEnd(updater);
  const TestHttpServer::Served whole = fixture.server().served(kFeed);
  runToEnd(updater);
  runToEnd(updater);
  const TestHttpServer::Served after = fixture.server().served(kFeed);

  EXPECT_EQ(delegate.calls, QStringList(3, QStringLiteral("didNotFind")));
  EXPECT_EQ(after.requests, 3);
  EXPECT_TRUE(after.lastRequest.contains("If-None-Match: \"feed-1\"")) << after.lastRequest.constData();
  const qint64 perCheck = (after.wireBytesIn + after.wireBytesOut - whole.wireBytesIn - whole.wireBytesOut) / 2;
  EXPECT_LE(perCheck, 1024) << "bytes on the wire for an unchanged feed";
  EXPECT_GT(whole.wireBytesOut, 4096) << "the whole feed is larger, or this proves nothing";
  std::printf("feed check: %lld bytes on the wire whole, %lld when unchanged\n",
              static_cast<long long>(whole.wireBytesIn + whole.wireBytesOut), static_cast<long long>(perCheck));
}

// The server says "not modified", but the kept copy has expired since: it is dropped and the
// feed fetched whole in the same run, which then serves later checks.
TEST_F(KeptTransfersTest, AKeptFeedThatNoLongerPassesIsDroppedAndFetchedWhole) {
  BundleSpec installed;
  installed.requireSignedFeed = true;
  fixture.install(installed);
  const QString archive = fixture.buildArchive(QStringLiteral("Quillane-1.0.tar.gz"), BundleSpec());
  const QString soon = QDateTime::currentDateTimeUtc().addSecs(3).toString(Qt::ISODate);
  fixture.publish(archive, {QStringLiteral("--expires"), soon});
  serveFeed("\"feed-1\"");
  updater::SUUpdater* updater = updaterAt(fixture.pluginPath());
  ASSERT_NE(updater, nullptr);
  updater->setDelegate(&delegate);
  runToEnd(updater);
  ASSERT_EQ(delegate.calls, QStringList({QStringLiteral("didNotFind")}));

  // Republished with a later expiry, but the server still names it as before.
  fixture.publish(archive);
  serveFeed("\"feed-1\"");
  spin(3500);
  runToEnd(updater);
  const TestHttpServer::Served refetched = fixture.server().served(kFeed);
  EXPECT_EQ(refetched.requests, 3) << "a conditional request, then the whole feed";
  EXPECT_FALSE(refetched.lastRequest.contains("If-None-Match"));

  runToEnd(updater);  // the new copy is the one kept now
  EXPECT_EQ(fixture.server().served(kFeed).requests, 4);
  EXPECT_EQ(delegate.calls, QStringList(3, QStringLiteral("didNotFind")));
}

// An archive of `bytes` that do not compress, so its size on the wire is its size.
BundleSpec releaseOf(qint64 bytes) {
  BundleSpec next;
  next.version = QStringLiteral("1.1");
  next.automaticallyUpdate = true;
  next.payload.resize(static_cast<qsizetype>(bytes));
  QRandomGenerator(21).fillRange(reinterpret_cast<quint32*>(next.payload.data()), next.payload.size() / 4);
  return next;
}

enum class SecondRun { Resumes, NoRangeSupport, ChangedValidator, KeptPartFlipped };

// Publishes an archive, cuts its download at 90 % in a first run, then lets a second run
// finish as `second` says; returns the archive bytes the second run drew from the server.
qint64 cutThenFinish(UpdateFixture& fixture, qint64 payloadBytes, SecondRun second) {
  BundleSpec installed;
  installed.automaticallyUpdate = true;
  fixture.install(installed);
  const BundleSpec next = releaseOf(payloadBytes);
  const QString archive = fixture.buildArchive(QStringLiteral("Quillane-1.1.tar.gz"), next);
  fixture.publish(archive);
  const QString path = QStringLiteral("/Quillane-1.1.tar.gz");
  const qint64 size = QFileInfo(archive).size();
  TestHttpServer::Route route;
  route.filePath = archive;
  route.headers = {{"ETag", "\"a-1\""}};
  route.ranges = true;
  route.cutAfter = size * 9 / 10;
  fixture.server().setRoute(path, route);
  updater::SUUpdater* updater = updaterAt(fixture.pluginPath());
  FinishedCounter finished(updater);
  updater->checkForUpdatesInBackground();
  EXPECT_TRUE(waitUntil([&] { return finished.count() == 1; }, 60000));
  EXPECT_EQ(fixture.installedVersion(), QStringLiteral("1.0"));
  const qint64 firstRun = fixture.server().served(path).wireBytesOut;

  route.cutAfter = -1;
  if (second == SecondRun::NoRangeSupport) route.ranges = false;
  if (second == SecondRun::ChangedValidator) route.headers = {{"ETag", "\"a-2\""}};
  fixture.server().setRoute(path, route);
  if (second == SecondRun::KeptPartFlipped) {
    const QStringList parts = QDir(updater::keptFilesFolder(installed.identifier)).entryList({QStringLiteral("*.part")});
    EXPECT_EQ(parts.size(), 1);
    QFile part(updater::keptFilesFolder(installed.identifier) + u'/' + parts.value(0));
    EXPECT_TRUE(part.open(QIODevice::ReadWrite));
    part.seek(size / 2);
    const char byte = part.read(1).at(0);
    part.seek(size / 2);
    part.write(QByteArray(1, static_cast<char>(byte ^ 0x40)));
  }
  updater->checkForUpdatesInBackground();
  EXPECT_TRUE(waitUntil([&] { return finished.count() == 2; }, 120000));
  EXPECT_EQ(fixture.installedVersion(), QStringLiteral("1.1"));
  EXPECT_EQ(fixture.installedPayload(), next.payload);
  EXPECT_EQ(QDir(updater::keptFilesFolder(installed.identifier)).entryList({QStringLiteral("*.part")}), QStringList())
      << "an installed archive is not kept";
  return fixture.server().served(path).wireBytesOut - firstRun;
}

TEST_F(KeptTransfersTest, ADownloadCutAt90PercentIsFinishedByTheNextRun) {
  const qint64 size = 50 * 1024 * 1024;
  const qint64 resumed = cutThenFinish(fixture, size, SecondRun::Resumes);
  EXPECT_LE(resumed, size / 10 + 1024 * 1024);
  std::printf("archive of %lld bytes, cut at 90 %%: the next run drew %lld bytes\n", static_cast<long long>(size),
              static_cast<long long>(resumed));
}

// Whatever makes the kept part unusable, the second run installs the update, drawing it whole.
TEST_F(KeptTransfersTest, AKeptPartThatCannotServeIsReplacedInTheSameRun) {
  const qint64 size = 2 * 1024 * 1024;
  for (SecondRun second : {SecondRun::NoRangeSupport, SecondRun::ChangedValidator, SecondRun::KeptPartFlipped}) {
    SCOPED_TRACE(static_cast<int>(second));
    SetUp();
    UpdateFixture own;
    const qint64 drawn = cutThenFinish(own, size, second);
    EXPECT_GE(drawn, size) << "the archive came whole";
    if (second == SecondRun::KeptPartFlipped) {
      // How much the cut run kept depends on what was in flight when it was cut (less under a
      // sanitizer); the rest and then one whole archive stay below two whole archives.
      EXPECT_LT(drawn, 2 * size) << "the rest, then the whole once";
    }
  }
}

// Two runs of the same account never write one part; a link where a part belongs is refused.
TEST_F(KeptTransfersTest, AKeptPartIsHeldByOneRunAndMustBeARegularFile) {
  const updater::DownloadIdentity identity{QStringLiteral("https://example.com/a.tar.gz"), 100, QStringLiteral("sig")};
  const QString identifier = BundleSpec().identifier;
  std::optional<updater::KeptDownload> first;
  if (auto opened = updater::KeptDownload::open(identifier, identity)) first.emplace(std::move(opened).value());
  ASSERT_TRUE(first.has_value());
  EXPECT_FALSE(updater::KeptDownload::open(identifier, identity)) << "held by the first";
  updater::KeptDownload::pruneExcept(identifier, {});
  EXPECT_TRUE(QFileInfo::exists(first->path())) << "a held part is not pruned";
  const QString path = first->path();
  first.reset();
  updater::KeptDownload::pruneExcept(identifier, {});
  EXPECT_FALSE(QFileInfo::exists(path));

  ASSERT_TRUE(QFile::link(fixture.workDir() + QStringLiteral("/elsewhere"), path));
  EXPECT_FALSE(updater::KeptDownload::open(identifier, identity));
  EXPECT_FALSE(QFileInfo::exists(fixture.workDir() + QStringLiteral("/elsewhere")));
  QFile::remove(path);
}

}  // namespace
