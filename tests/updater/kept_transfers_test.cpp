// What a run keeps between checks so that no byte is fetched twice: the last accepted feed,
// asked about with its validators, and the parts of archive downloads that ended early. Whole
// runs against a loopback server that counts the bytes on the wire.
#include "run_harness.h"
#include "test_support.h"
#include "update_fixture.h"

#include "updater/kept_files.h"

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

}  // namespace
