#include "test_http_server.h"

#include <QTimer>

#include <QFile>
#include <QPointer>
#include <QTcpSocket>

#include <memory>

namespace {

constexpr qint64 kChunk = 256 * 1024;

QByteArray reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 301: return "Moved Permanently";
    case 206: return "Partial Content";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 307: return "Temporary Redirect";
    case 404: return "Not Found";
    default: return "Status";
  }
}

}  // namespace

TestHttpServer::TestHttpServer(QObject* parent) : QObject(parent) {
  connect(&server_, &QTcpServer::newConnection, this, &TestHttpServer::onConnection);
}

TestHttpServer::~TestHttpServer() {
  // Open connections go first: their handlers use the tables below.
  for (QTcpSocket* socket : server_.findChildren<QTcpSocket*>()) {
    socket->disconnect(this);
    delete socket;
  }
}

bool TestHttpServer::listen() { return server_.listen(QHostAddress::LocalHost, 0); }

QUrl TestHttpServer::url(const QString& path) const {
  return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(server_.serverPort()).arg(path));
}

void TestHttpServer::setRoute(const QString& path, const Route& route) { routes_[path] = route; }

void TestHttpServer::setBody(const QString& path, const QByteArray& body) {
  Route route;
  route.body = body;
  setRoute(path, route);
}

void TestHttpServer::setFile(const QString& path, const QString& filePath) {
  Route route;
  route.filePath = filePath;
  setRoute(path, route);
}

void TestHttpServer::setRedirect(const QString& path, const QString& location, int status) {
  Route route;
  route.status = status;
  route.headers.append({"Location", location.toUtf8()});
  setRoute(path, route);
}

void TestHttpServer::onConnection() {
  while (QTcpSocket* socket = server_.nextPendingConnection()) {
    auto request = std::make_shared<QByteArray>();
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QTcpSocket::readyRead, this, [this, socket, request] {
      if (request->endsWith("\r\n\r\n")) return;  // already answered; ignore more
      request->append(socket->readAll());
      const qsizetype end = request->indexOf("\r\n\r\n");
      if (end < 0) return;
      request->truncate(end + 4);
      const QList<QByteArray> line = request->left(request->indexOf("\r\n")).split(' ');
      answer(socket, line.size() >= 2 ? QString::fromUtf8(line[1]) : QString(), *request);
    });
  }
}

namespace {

QByteArray headerValue(const QByteArray& message, const QByteArray& name) {
  for (const QByteArray& line : message.split('\n')) {
    const qsizetype colon = line.indexOf(':');
    if (colon > 0 && line.left(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0) return line.mid(colon + 1).trimmed();
  }
  return {};
}

QByteArray routeHeader(const TestHttpServer::Route& route, const QByteArray& name) {
  for (const auto& [key, value] : route.headers)
    if (key.compare(name, Qt::CaseInsensitive) == 0) return value;
  return {};
}

}  // namespace

void TestHttpServer::answer(QTcpSocket* socket, const QString& path, const QByteArray& request) {
  Served& stats = served_[path];
  ++stats.requests;
  stats.wireBytesIn += request.size();
  stats.lastRequest = request;
  connect(socket, &QTcpSocket::bytesWritten, this, [this, path](qint64 written) { served_[path].wireBytesOut += written; });
  if (!routes_.contains(path)) {
    socket->write("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    socket->disconnectFromHost();
    return;
  }
  Route route = routes_.value(path);
  if (route.neverAnswer) return;
  const QByteArray etag = routeHeader(route, "ETag");
  const QByteArray modified = routeHeader(route, "Last-Modified");
  const QByteArray ifNoneMatch = headerValue(request, "If-None-Match");
  const QByteArray ifModifiedSince = headerValue(request, "If-Modified-Since");
  if (route.conditional && ((!etag.isEmpty() && ifNoneMatch == etag) ||
                            (ifNoneMatch.isEmpty() && !modified.isEmpty() && ifModifiedSince == modified))) {
    QByteArray head = "HTTP/1.1 304 Not Modified\r\n";
    if (!etag.isEmpty()) head += "ETag: " + etag + "\r\n";
    socket->write(head + "Connection: close\r\n\r\n");
    socket->disconnectFromHost();
    return;
  }

  std::shared_ptr<QFile> file;
  qint64 length = route.body.size();
  if (!route.filePath.isEmpty()) {
    file = std::make_shared<QFile>(route.filePath);
    if (!file->open(QIODevice::ReadOnly)) qFatal("test server: cannot open %s", qPrintable(route.filePath));
    length = file->size();
  }
  const QByteArray range = headerValue(request, "Range");
  const QByteArray ifRange = headerValue(request, "If-Range");
  if (route.ranges && range.startsWith("bytes=") && range.endsWith('-') &&
      (ifRange.isEmpty() || ifRange == etag || ifRange == modified)) {
    const qint64 from = range.mid(6, range.size() - 7).toLongLong();
    if (from > 0 && from < length) {
      route.status = 206;
      route.headers.append({"Content-Range", "bytes " + QByteArray::number(from) + '-' + QByteArray::number(length - 1) +
                                                '/' + QByteArray::number(length)});
      if (file) file->seek(from);
      else route.body = route.body.mid(from);
      length -= from;
      if (route.stallAfter >= 0) route.stallAfter = qMax<qint64>(0, route.stallAfter - from);
      if (route.cutAfter >= 0) route.cutAfter = qMax<qint64>(0, route.cutAfter - from);
    }
  }
  QByteArray head = "HTTP/1.1 " + QByteArray::number(route.status) + ' ' + reason(route.status) + "\r\n";
  for (const auto& [name, value] : route.headers) head += name + ": " + value + "\r\n";
  if (route.announcedLength == kRealLength) {
    head += "Content-Length: " + QByteArray::number(length) + "\r\n";
  } else if (route.announcedLength != kNoLength) {
    head += "Content-Length: " + QByteArray::number(route.announcedLength) + "\r\n";
  }
  head += "Connection: close\r\n\r\n";
  socket->write(head);

  // The body goes out a chunk at a time, as the socket drains, so a client that hangs up
  // early is seen as such and the bytes counted are the bytes that left.
  const qint64 stop = route.cutAfter >= 0 ? route.cutAfter : route.stallAfter;
  const qint64 limit = stop >= 0 ? qMin(stop, length) : length;
  auto offset = std::make_shared<qint64>(0);
  QPointer<QTcpSocket> guard(socket);
  auto pump = [this, guard, path, route, file, offset, limit, length] {
    if (!guard) return;
    if (guard->bytesToWrite() > kChunk) return;
    if (*offset >= limit) {
      if ((limit == length || route.cutAfter >= 0) && guard->bytesToWrite() == 0) guard->disconnectFromHost();
      return;
    }
    const qint64 size = qMin(kChunk, limit - *offset);
    const QByteArray chunk = file ? file->read(size) : route.body.mid(*offset, size);
    guard->write(chunk);
    *offset += chunk.size();
    served_[path].bodyBytesSent = *offset;
  };
  if (route.dripBytes > 0 && route.dripIntervalMs > 0) {
    auto* drip = new QTimer(socket);
    connect(drip, &QTimer::timeout, this, [this, guard, path, route, file, offset, limit, length, drip] {
      if (!guard) return;
      const qint64 size = qMin(route.dripBytes, limit - *offset);
      if (size > 0) {
        guard->write(file ? file->read(size) : route.body.mid(*offset, size));
        *offset += size;
        served_[path].bodyBytesSent = *offset;
      }
      if (*offset >= limit) {
        drip->stop();
        if (limit == length) guard->disconnectFromHost();
      }
    });
    drip->start(route.dripIntervalMs);
  } else {
    connect(socket, &QTcpSocket::bytesWritten, this, pump);
  }
  connect(socket, &QTcpSocket::disconnected, this, [this, path, offset, length] {
    if (*offset < length) served_[path].clientHungUp = true;
  });
  if (route.dripBytes <= 0 || route.dripIntervalMs <= 0) pump();
}
