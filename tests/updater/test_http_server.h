// A small HTTP/1.1 server on 127.0.0.1 for the updater's tests: fixed bodies or files,
// redirects, and the misbehaviour real servers show (lying lengths, stalls, silence).
// Runs on the test's event loop; one request per connection.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QTcpServer>
#include <QUrl>

class QTcpSocket;

class TestHttpServer : public QObject {
  Q_OBJECT
 public:
  struct Route {
    int status = 200;
    QByteArray body;           // sent as is, unless filePath is set
    QString filePath;          // streamed from disk
    QList<QPair<QByteArray, QByteArray>> headers;
    // Content-Length sent: kRealLength for the true length, kNoLength to send none and end
    // the body by closing the connection, or any other value to lie.
    qint64 announcedLength = kRealLength;
    qint64 stallAfter = -1;    // send this many body bytes, then nothing (connection kept)
    qint64 cutAfter = -1;      // send this many body bytes, then close the connection
    bool neverAnswer = false;  // read the request, answer nothing
    // When both are set, the body goes out dripBytes at a time, one portion every dripIntervalMs.
    qint64 dripBytes = 0;
    int dripIntervalMs = 0;
    // Answer 304 to If-None-Match / If-Modified-Since matching this route's ETag / Last-Modified.
    bool conditional = false;
    // Send the rest for "Range: bytes=N-" (206), unless If-Range names another validator.
    bool ranges = false;
  };
  static constexpr qint64 kRealLength = -2;
  static constexpr qint64 kNoLength = -1;

  struct Served {
    int requests = 0;
    qint64 bodyBytesSent = 0;   // handed to the socket and written out
    bool clientHungUp = false;  // the client closed before the whole body was sent
    qint64 wireBytesIn = 0;     // requests, headers included
    qint64 wireBytesOut = 0;    // answers, headers included, as written out
    QByteArray lastRequest;     // its request line and headers
  };

  explicit TestHttpServer(QObject* parent = nullptr);
  ~TestHttpServer() override;
  bool listen();
  QUrl url(const QString& path) const;

  void setRoute(const QString& path, const Route& route);
  void setBody(const QString& path, const QByteArray& body);
  void setFile(const QString& path, const QString& filePath);
  void setRedirect(const QString& path, const QString& location, int status = 302);

  Served served(const QString& path) const { return served_.value(path); }

 private:
  void onConnection();
  void answer(QTcpSocket* socket, const QString& path, const QByteArray& request);

  QTcpServer server_;
  QHash<QString, Route> routes_;
  QHash<QString, Served> served_;
};
