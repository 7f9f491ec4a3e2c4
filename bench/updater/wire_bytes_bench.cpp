// Bytes on the wire, both directions, headers included, for what a check costs a user and a
// publisher, through the updater's own downloads against a loopback server that counts them:
//   a daily "no update" check: the whole feed every day (the baseline) against asking with the
//     kept feed's validator and getting 304 Not Modified;
//   an archive cut at 90 %: fetching it again whole (the baseline) against resuming the kept part.
//
//   updater_wire_bytes_bench [feed items] [archive MiB]     (default 40 and 50)

#include "updater/core/appcast.h"
#include "updater/download.h"
#include "updater/feed_cache.h"

#include "bench_support.h"

#include <QCoreApplication>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <cstdio>
#include <fcntl.h>
#include <memory>

namespace {

// One document, with an ETag; honours If-None-Match and "Range: bytes=N-" with If-Range, and
// can cut the body after some bytes. Counts every byte read and written.
class CountingServer : public QObject {
 public:
  explicit CountingServer(QByteArray body) : body_(std::move(body)) {
    server_.listen(QHostAddress::LocalHost, 0);
    connect(&server_, &QTcpServer::newConnection, this, [this] {
      while (QTcpSocket* socket = server_.nextPendingConnection()) serve(socket);
    });
  }
  QUrl url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/file").arg(server_.serverPort())); }
  qint64 cutAfter = -1;
  qint64 wire = 0;

 private:
  void serve(QTcpSocket* socket) {
    auto request = std::make_shared<QByteArray>();
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QTcpSocket::bytesWritten, this, [this](qint64 n) { wire += n; });
    connect(socket, &QTcpSocket::readyRead, this, [this, socket, request] {
      const QByteArray more = socket->readAll();
      wire += more.size();
      request->append(more);
      if (!request->contains("\r\n\r\n")) return;
      const QByteArray etag = "\"v1\"";
      if (request->contains("If-None-Match: " + etag)) {
        socket->write("HTTP/1.1 304 Not Modified\r\nETag: " + etag + "\r\nConnection: close\r\n\r\n");
        socket->disconnectFromHost();
        return;
      }
      qint64 from = 0;
      const qsizetype range = request->indexOf("Range: bytes=");
      if (range >= 0 && request->contains("If-Range: " + etag)) {
        from = request->mid(range + 13, request->indexOf('-', range + 13) - range - 13).toLongLong();
      }
      QByteArray head = from > 0 ? "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + QByteArray::number(from) + '-' +
                                       QByteArray::number(body_.size() - 1) + '/' + QByteArray::number(body_.size()) + "\r\n"
                                 : QByteArray("HTTP/1.1 200 OK\r\n");
      head += "ETag: " + etag + "\r\nContent-Length: " + QByteArray::number(body_.size() - from) + "\r\nConnection: close\r\n\r\n";
      const qint64 end = cutAfter >= 0 ? cutAfter : body_.size();
      socket->write(head + body_.mid(from, end - from));
      socket->disconnectFromHost();
    });
  }
  QTcpServer server_;
  QByteArray body_;
};

updater::DownloadResult fetch(updater::Download* download) {
  std::optional<updater::DownloadResult> result;
  download->start([&](const updater::DownloadResult& r) { result = r; });
  while (!result) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  download->deleteLater();
  return *result;
}

// A feed of `items` releases, each with notes, an enclosure and a delta, as publishers write them.
QByteArray feedOf(int items) {
  QByteArray feed = QByteArray("<?xml version=\"1.0\"?>\n<rss version=\"2.0\" xmlns:sparkle=\"") + updater::kAppcastNamespace +
                    "\">\n<channel><title>Quillane</title>\n";
  for (int i = items; i > 0; --i) {
    const QByteArray v = "1." + QByteArray::number(i);
    feed += "<item><title>Version " + v + "</title><pubDate>Mon, 07 Dec 2026 10:00:00 +0000</pubDate>"
            "<sparkle:version>" + v + "</sparkle:version><description><![CDATA[<ul><li>Faster search in large mailboxes.</li>"
            "<li>Fixes a crash when a message has no sender.</li><li>Smaller memory use.</li></ul>]]></description>"
            "<enclosure url=\"https://updates.quillane.example/Quillane-" + v + ".tar.xz\" length=\"26214400\" type=\"application/octet-stream\" "
            "sparkle:edSignature=\"" + QByteArray(88, 'S') + "\"/><sparkle:deltas><enclosure url=\"https://updates.quillane.example/"
            "Quillane-" + v + "-delta.qdelta\" sparkle:deltaFrom=\"1." + QByteArray::number(i - 1) + "\" length=\"400000\" "
            "sparkle:edSignature=\"" + QByteArray(88, 'D') + "\"/></sparkle:deltas></item>\n";
  }
  return feed + "</channel></rss>\n";
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int items = argc > 1 ? std::atoi(argv[1]) : 40;
  const qint64 mib = argc > 2 ? std::atoll(argv[2]) : 50;
  QNetworkAccessManager network;
  updater::DownloadLimits limits;
  limits.maxBytes = qint64{1} << 31;

  CountingServer feedServer(feedOf(items));
  const updater::DownloadResult whole = fetch(new updater::Download(network, feedServer.url(), limits));
  const qint64 fullCheck = feedServer.wire;
  auto* conditional = new updater::Download(network, feedServer.url(), limits);
  updater::FeedCache::askIfChanged(*conditional, {feedServer.url(), whole.data, whole.etag, whole.lastModified});
  const updater::DownloadResult unchanged = fetch(conditional);
  if (!whole.ok || !unchanged.ok || !unchanged.notModified) bench::die(QStringLiteral("the feed checks failed"));
  const qint64 notModifiedCheck = feedServer.wire - fullCheck;
  std::printf("daily \"no update\" check, feed of %d items (%lld bytes)\n", items, static_cast<long long>(whole.data.size()));
  std::printf("  whole feed (baseline)   %9lld bytes on the wire\n", static_cast<long long>(fullCheck));
  std::printf("  304 Not Modified        %9lld bytes on the wire   %.4f of the baseline, %.0fx less\n",
              static_cast<long long>(notModifiedCheck), double(notModifiedCheck) / fullCheck, double(fullCheck) / notModifiedCheck);

  quint64 state = 21;
  CountingServer archiveServer(bench::randomBytes(mib * 1024 * 1024, state));
  QTemporaryDir work;
  const qint64 size = mib * 1024 * 1024;
  const QString path = work.filePath(QStringLiteral("archive.part"));
  auto open = [&] {
    foundation::FileDescriptor file(::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!file) bench::die(QStringLiteral("cannot open %1").arg(path));
    return file;
  };
  limits.exactBytes = size;
  // The cut run, then the next one resuming (as the update run does with its kept part).
  archiveServer.cutAfter = size * 9 / 10;
  auto* cut = new updater::Download(network, archiveServer.url(), limits);
  cut->setKeptDestination(open(), path, 0, {});
  const updater::DownloadResult first = fetch(cut);
  const qint64 kept = QFile(path).size();
  archiveServer.cutAfter = -1;
  const qint64 before = archiveServer.wire;
  auto* resumed = new updater::Download(network, archiveServer.url(), limits);
  resumed->setKeptDestination(open(), path, kept, first.etag);
  const updater::DownloadResult rest = fetch(resumed);
  const qint64 resumedBytes = archiveServer.wire - before;
  // The baseline: the next run fetching it again whole, as before parts were kept.
  QFile::remove(path);
  const qint64 beforeWhole = archiveServer.wire;
  auto* again = new updater::Download(network, archiveServer.url(), limits);
  again->setKeptDestination(open(), path, 0, {});
  const updater::DownloadResult full = fetch(again);
  const qint64 wholeBytes = archiveServer.wire - beforeWhole;
  if (!rest.ok || rest.keptBytes != kept || !full.ok) bench::die(QStringLiteral("the archive downloads failed"));
  std::printf("archive of %lld MiB cut at 90 %% (%lld bytes had arrived and were kept), the next run\n",
              static_cast<long long>(mib), static_cast<long long>(kept));
  std::printf("  fetched whole (baseline) %9lld bytes on the wire\n", static_cast<long long>(wholeBytes));
  std::printf("  resumed                  %9lld bytes on the wire   %.4f of the baseline\n",
              static_cast<long long>(resumedBytes), double(resumedBytes) / wholeBytes);
  return 0;
}
