#include "updater/download.h"

#include "test_http_server.h"
#include "test_support.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <optional>

#include <cerrno>
#include <cstring>
#include <sched.h>
#include <sys/mount.h>

using updater::Download;
using updater::DownloadLimits;
using updater::DownloadResult;

namespace {

QByteArray pattern(qint64 size) {
  QByteArray bytes(size, Qt::Uninitialized);
  for (qint64 i = 0; i < size; ++i) bytes[i] = char((i * 7919) >> 3);
  return bytes;
}

class DownloadTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.listen()); }

  // Runs one download to completion and returns its result.
  DownloadResult fetch(const QUrl& url, const DownloadLimits& limits, const QString& file = {},
                       QList<QPair<qint64, qint64>>* progress = nullptr) {
    Download download(network, url, limits);
    if (!file.isEmpty()) download.setDestinationFile(file);
    if (progress) {
      download.setProgressHandler([progress](qint64 done, qint64 total) { progress->append({done, total}); });
    }
    std::optional<DownloadResult> result;
    bool calledInsideStart = false;
    bool starting = true;
    download.start([&](const DownloadResult& r) {
      calledInsideStart = starting;
      result = r;
    });
    starting = false;
    EXPECT_TRUE(waitUntil([&] { return result.has_value(); }, 20000)) << "no result for " << url.toString().toStdString();
    EXPECT_FALSE(calledInsideStart) << "the result must come from the event loop";
    return result.value_or(DownloadResult{});
  }

  TestHttpServer server;
  QNetworkAccessManager network;
  QTemporaryDir dir;
};

TEST_F(DownloadTest, FetchesIntoMemoryAndReportsProgressUpToTheTotal) {
  const QByteArray body = pattern(3 * 1024 * 1024 + 17);
  server.setBody(QStringLiteral("/feed.xml"), body);
  DownloadLimits limits;
  limits.maxBytes = body.size();
  QList<QPair<qint64, qint64>> progress;
  const DownloadResult result = fetch(server.url(QStringLiteral("/feed.xml")), limits, {}, &progress);
  ASSERT_TRUE(result.ok) << result.error.toStdString();
  EXPECT_EQ(result.data, body);
  EXPECT_EQ(result.bytes, body.size());
  ASSERT_FALSE(progress.isEmpty());
  for (int i = 1; i < progress.size(); ++i) EXPECT_GE(progress[i].first, progress[i - 1].first);
  EXPECT_EQ(progress.last().first, body.size());
  EXPECT_EQ(progress.last().second, body.size());
}

TEST_F(DownloadTest, FetchesIntoAPrivateNewFileAndNeverOverwritesOne) {
  const QByteArray body = pattern(2 * 1024 * 1024);
  server.setBody(QStringLiteral("/a.tar.gz"), body);
  DownloadLimits limits;
  limits.maxBytes = limits.exactBytes = body.size();
  const QString path = dir.filePath(QStringLiteral("archive"));
  DownloadResult result = fetch(server.url(QStringLiteral("/a.tar.gz")), limits, path);
  ASSERT_TRUE(result.ok) << result.error.toStdString();
  EXPECT_TRUE(result.data.isEmpty());
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_EQ(file.readAll(), body);
  EXPECT_EQ(QFileInfo(path).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther |
                                             QFileDevice::WriteGroup | QFileDevice::WriteOther),
            QFileDevice::Permissions());
  file.close();

  // A second download to the same path fails and leaves the first file alone.
  server.setBody(QStringLiteral("/a.tar.gz"), pattern(body.size()).replace(0, 4, "XXXX"));
  result = fetch(server.url(QStringLiteral("/a.tar.gz")), limits, path);
  EXPECT_FALSE(result.ok);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_EQ(file.readAll(), body);
}

// A disk that fills during the download: a 1 MB tmpfs mounted in a mount namespace of this
// test's own (so nothing outside it sees the mount), which needs root.
TEST_F(DownloadTest, AFullDiskIsReportedInTheSystemsWords) {
  const QString full = QDir::home().filePath(QStringLiteral("full-disk"));
  ASSERT_TRUE(QDir().mkpath(full));
  if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount("tmpfs", QFile::encodeName(full).constData(), "tmpfs", 0, "size=1m") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs in a mount namespace of this test's own (" << std::strerror(errno)
                 << "); needs root";
  }
  // Arriving in small pieces, the way a real download's chunks meet the end of the disk.
  TestHttpServer::Route route;
  route.body = pattern(1536 * 1024);
  route.dripBytes = 7001;
  route.dripIntervalMs = 1;
  server.setRoute(QStringLiteral("/a.tar.gz"), route);
  DownloadLimits limits;
  limits.maxBytes = limits.exactBytes = route.body.size();
  const QString path = full + QStringLiteral("/archive");
  const DownloadResult result = fetch(server.url(QStringLiteral("/a.tar.gz")), limits, path);
  ::umount2(QFile::encodeName(full).constData(), MNT_DETACH);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error.toStdString(), QStringLiteral("cannot write %1: No space left on device").arg(path).toStdString());
}

TEST_F(DownloadTest, ReadsFileAddresses) {
  const QString source = dir.filePath(QStringLiteral("feed.xml"));
  QFile file(source);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("<rss/>");
  file.close();
  DownloadLimits limits;
  DownloadResult result = fetch(QUrl::fromLocalFile(source), limits);
  ASSERT_TRUE(result.ok) << result.error.toStdString();
  EXPECT_EQ(result.data, QByteArray("<rss/>"));

  result = fetch(QUrl::fromLocalFile(dir.filePath(QStringLiteral("missing.xml"))), limits);
  EXPECT_FALSE(result.ok);
}

// The cap holds whatever the server says or does not say about the size, and a refused
// body leaves no file behind.
TEST_F(DownloadTest, RefusesBodiesOverTheCapWithoutStoringThem) {
  const qint64 cap = 1024 * 1024;
  const QByteArray big = pattern(16 * cap);

  struct Case {
    const char* name;
    qint64 announced;
  };
  for (const Case& c : {Case{"honest length", TestHttpServer::kRealLength},
                        Case{"no length", TestHttpServer::kNoLength},
                        Case{"overstated length", 32 * cap}}) {
    SCOPED_TRACE(c.name);
    const QString route = QStringLiteral("/big-%1").arg(QString::fromLatin1(c.name).replace(u' ', u'-'));
    TestHttpServer::Route r;
    r.body = big;
    r.announcedLength = c.announced;
    server.setRoute(route, r);
    DownloadLimits limits;
    limits.maxBytes = cap;
    const QString path = dir.filePath(route.mid(1));
    const DownloadResult toFile = fetch(server.url(route), limits, path);
    EXPECT_FALSE(toFile.ok);
    EXPECT_LE(toFile.bytes, cap);
    EXPECT_FALSE(QFileInfo::exists(path)) << "a refused download leaves no file";
    const DownloadResult toMemory = fetch(server.url(route), limits);
    EXPECT_FALSE(toMemory.ok);
    EXPECT_TRUE(toMemory.data.isEmpty());
    // The client stopped reading rather than draining the whole body.
    EXPECT_TRUE(waitUntil([&] { return server.served(route).clientHungUp; }, 5000));
    EXPECT_LT(server.served(route).bodyBytesSent, big.size());
  }
}

TEST_F(DownloadTest, AnExactLengthMustBeMetToTheByte) {
  const QByteArray body = pattern(100000);
  server.setBody(QStringLiteral("/archive"), body);
  for (qint64 declared : {body.size() - 1, body.size() + 1}) {
    SCOPED_TRACE(declared);
    DownloadLimits limits;
    limits.maxBytes = limits.exactBytes = declared;
    const QString path = dir.filePath(QStringLiteral("archive-%1").arg(declared));
    const DownloadResult result = fetch(server.url(QStringLiteral("/archive")), limits, path);
    EXPECT_FALSE(result.ok);
    EXPECT_FALSE(QFileInfo::exists(path));
  }
  // A server that announces the declared length but sends less.
  TestHttpServer::Route shortBody;
  shortBody.body = body.left(5000);
  shortBody.announcedLength = TestHttpServer::kNoLength;
  server.setRoute(QStringLiteral("/short"), shortBody);
  DownloadLimits limits;
  limits.maxBytes = limits.exactBytes = body.size();
  const DownloadResult result = fetch(server.url(QStringLiteral("/short")), limits);
  EXPECT_FALSE(result.ok);
  EXPECT_TRUE(result.error.contains(QLatin1String("5000"))) << result.error.toStdString();
}

TEST_F(DownloadTest, FollowsABoundedNumberOfRedirectsAndOnlyAllowedOnes) {
  server.setBody(QStringLiteral("/real"), "payload");
  server.setRedirect(QStringLiteral("/hop1"), server.url(QStringLiteral("/hop2")).toString());
  server.setRedirect(QStringLiteral("/hop2"), QStringLiteral("/real"), 301);  // relative
  DownloadLimits limits;
  limits.maxRedirects = 2;
  DownloadResult result = fetch(server.url(QStringLiteral("/hop1")), limits);
  ASSERT_TRUE(result.ok) << result.error.toStdString();
  EXPECT_EQ(result.data, QByteArray("payload"));
  EXPECT_EQ(result.finalUrl, server.url(QStringLiteral("/real")));

  limits.maxRedirects = 1;
  result = fetch(server.url(QStringLiteral("/hop1")), limits);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(server.served(QStringLiteral("/real")).requests, 1);

  // Off this machine over plain http, or to a local file: refused before any request.
  server.setRedirect(QStringLiteral("/away"), QStringLiteral("http://updates.example.com/real"));
  server.setRedirect(QStringLiteral("/local"), QStringLiteral("file:///etc/hostname"));
  limits.maxRedirects = 5;
  for (const char* route : {"/away", "/local"}) {
    SCOPED_TRACE(route);
    result = fetch(server.url(QString::fromLatin1(route)), limits);
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.data.isEmpty());
  }
}

TEST_F(DownloadTest, RefusesDisallowedAddressesAndErrorStatuses) {
  DownloadLimits limits;
  DownloadResult result = fetch(QUrl(QStringLiteral("http://updates.example.com/feed.xml")), limits);
  EXPECT_FALSE(result.ok);
  EXPECT_FALSE(result.error.isEmpty());

  result = fetch(server.url(QStringLiteral("/nothing-here")), limits);
  EXPECT_FALSE(result.ok);
  EXPECT_TRUE(result.error.contains(QLatin1String("404"))) << result.error.toStdString();
}

TEST_F(DownloadTest, GivesUpOnSilentAndStalledServers) {
  TestHttpServer::Route silent;
  silent.neverAnswer = true;
  server.setRoute(QStringLiteral("/silent"), silent);
  TestHttpServer::Route stalled;
  stalled.body = pattern(1024 * 1024);
  stalled.stallAfter = 4096;
  server.setRoute(QStringLiteral("/stalled"), stalled);

  DownloadLimits limits;
  limits.connectTimeoutMs = 300;
  limits.stallTimeoutMs = 300;
  for (const char* route : {"/silent", "/stalled"}) {
    SCOPED_TRACE(route);
    QElapsedTimer clock;
    clock.start();
    const DownloadResult result = fetch(server.url(QString::fromLatin1(route)), limits);
    EXPECT_FALSE(result.ok);
    EXPECT_GE(clock.elapsed(), 250);
    EXPECT_LT(clock.elapsed(), 5000);
  }
}

// The limits scaled down from seconds to tenths, so a test takes a second or two.
TEST_F(DownloadTest, ADripIsCutByTheRateFloorAndTheDeadlineWhileAnHonestSlowServerFinishes) {
  TestHttpServer::Route drip;
  drip.body = pattern(64 * 1024);
  drip.dripBytes = 1;
  drip.dripIntervalMs = 50;  // inside any silence limit
  server.setRoute(QStringLiteral("/drip"), drip);
  TestHttpServer::Route slow;
  slow.body = pattern(4 * 1024);
  slow.dripBytes = 256;
  slow.dripIntervalMs = 125;  // 2 KiB/s
  server.setRoute(QStringLiteral("/slow"), slow);

  DownloadLimits archive;
  archive.pace.rateGrace = std::chrono::milliseconds(400);
  archive.pace.rateWindow = std::chrono::milliseconds(1200);
  DownloadLimits feed = archive;
  feed.pace.totalDeadline = std::chrono::milliseconds(1000);

  // The archive into a file, the feed into memory.
  for (const auto& [limits, file] : {std::pair{archive, dir.filePath(QStringLiteral("drip"))}, std::pair{feed, QString()}}) {
    QElapsedTimer clock;
    clock.start();
    const DownloadResult result = fetch(server.url(QStringLiteral("/drip")), limits, file);
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.error.contains(QLatin1String("below the floor of 1024 bytes/s"))) << result.error.toStdString();
    EXPECT_LT(clock.elapsed(), 3000);
  }
  EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("drip")))) << "a cut download leaves nothing";

  const DownloadResult honest = fetch(server.url(QStringLiteral("/slow")), archive);
  EXPECT_TRUE(honest.ok) << honest.error.toStdString();
  EXPECT_EQ(honest.data, slow.body);

  // Fast enough for the floor, too slow for the deadline: 4 KiB at 2 KiB/s takes 2 s.
  const DownloadResult late = fetch(server.url(QStringLiteral("/slow")), feed);
  EXPECT_FALSE(late.ok);
  EXPECT_TRUE(late.error.contains(QLatin1String("not complete within 1 s"))) << late.error.toStdString();
}

TEST_F(DownloadTest, CancelReportsTheReasonAndAbandonReportsNothing) {
  TestHttpServer::Route stalled;
  stalled.body = pattern(1024 * 1024);
  stalled.stallAfter = 1024;
  server.setRoute(QStringLiteral("/stalled"), stalled);
  DownloadLimits limits;

  Download cancelled(network, server.url(QStringLiteral("/stalled")), limits);
  std::optional<DownloadResult> result;
  cancelled.start([&](const DownloadResult& r) { result = r; });
  spin(100);
  cancelled.cancel(QStringLiteral("stopped by the test"));
  ASSERT_TRUE(waitUntil([&] { return result.has_value(); }));
  EXPECT_FALSE(result->ok);
  EXPECT_EQ(result->error, QStringLiteral("stopped by the test"));

  auto* abandoned = new Download(network, server.url(QStringLiteral("/stalled")), limits);
  bool called = false;
  QPointer<Download> alive(abandoned);
  abandoned->start([&](const DownloadResult&) { called = true; });
  spin(100);
  abandoned->abandon();
  EXPECT_TRUE(waitUntil([&] { return alive.isNull(); }));
  spin(100);
  EXPECT_FALSE(called);
}

}  // namespace
