// One fetch of a feed, release notes or an update archive, over Qt Network.
//
// Everything the updater downloads goes through here, so the limits live here too: only
// the addresses url_policy.h allows, a bounded number of redirects (never from https to
// anything weaker), a connect timeout, a stall timeout, a floor under the rate and an
// optional total deadline (transfer_pace.h), and a hard cap on the bytes
// accepted. A body that would pass the cap is refused before the excess is stored, so a
// hostile server can neither fill the disk nor the memory.
//
// Runs on the thread that owns it, from its event loop; never blocks.
#pragma once

#include "foundation/file_descriptor.h"

#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include "updater/transfer_pace.h"

#include <functional>
#include <memory>
#include <optional>

class QNetworkReply;

namespace updater {

struct DownloadLimits {
  // Most bytes of body accepted. Must be positive.
  qint64 maxBytes = 4 * 1024 * 1024;
  // When set (>= 0), the body must be exactly this long: a shorter or longer one fails.
  qint64 exactBytes = -1;
  int maxRedirects = 5;
  // Until the server's response headers (or a local file's first bytes) arrive.
  int connectTimeoutMs = 20000;
  // Longest quiet spell while the body arrives.
  int stallTimeoutMs = 30000;
  // Total deadline and rate floor, from start().
  TransferPaceLimits pace;
};

struct DownloadResult {
  bool ok = false;
  QString error;       // readable, names the address; empty when ok
  QByteArray data;     // the body, when downloading to memory
  QUrl finalUrl;       // after redirects
  qint64 bytes = 0;    // body bytes accepted (with a kept part: what the file now holds)
  qint64 keptBytes = 0;      // of those, bytes that were already in the kept part
  bool notModified = false;  // 304 to a conditional request (acceptNotModified()): no body
  QByteArray etag;           // the answer's validators, as sent; empty when absent
  QByteArray lastModified;
};

// What the final answer's headers say, before any of its body is stored.
struct ResponseStart {
  bool resumed = false;  // the server sends the rest of the kept part (206 matching our Range)
  QByteArray etag;
  QByteArray lastModified;
};

class Download : public QObject {
  Q_OBJECT
 public:
  using ProgressHandler = std::function<void(qint64 received, qint64 expected /* -1: unknown */)>;
  using FinishedHandler = std::function<void(const DownloadResult&)>;

  Download(QNetworkAccessManager& network, const QUrl& url, const DownloadLimits& limits,
           QObject* parent = nullptr);
  ~Download() override;

  // Store the body in a new file at `path` (created exclusively, mode 0600) instead of in
  // memory. A failed download removes what it wrote. Call before start().
  void setDestinationFile(const QString& path);

  void setProgressHandler(ProgressHandler handler) { progress_ = std::move(handler); }

  // Store the body in `file` (open for reading and writing; `path` names it in messages), which
  // already holds `keptBytes` of it: only the rest is asked for (Range, with If-Range:
  // `validator`, so a changed file is sent whole). An answer with the whole body empties the file first. A failed download
  // leaves what arrived in the file. Call before start(), instead of setDestinationFile().
  void setKeptDestination(foundation::FileDescriptor file, const QString& path, qint64 keptBytes,
                          const QByteArray& validator);

  // Called once, when the final answer's headers have arrived and before its body is stored.
  using ResponseHandler = std::function<void(const ResponseStart&)>;
  void setResponseHandler(ResponseHandler handler) { response_ = std::move(handler); }

  // Adds a header to every request (e.g. If-None-Match). Call before start().
  void setRequestHeader(const QByteArray& name, const QByteArray& value) { extraHeaders_.append({name, value}); }
  // A 304 Not Modified answer ends the download successfully, with result.notModified.
  void acceptNotModified() { acceptNotModified_ = true; }

  // Sees every accepted body byte, in order, once it is stored: lets a caller hash the body
  // while it arrives instead of reading it again afterwards. Call before start().
  using BodyObserver = std::function<void(const QByteArray& chunk)>;
  void setBodyObserver(BodyObserver observer) { bodyObserver_ = std::move(observer); }

  // Starts the fetch. `finished` is called exactly once, later, from the event loop
  // (never from inside start()), unless this object is destroyed first.
  void start(FinishedHandler finished);

  // Stops the fetch; `finished` reports `reason` as the error.
  void cancel(const QString& reason);

  // Stops the fetch without calling back, and deletes this object later. For owners that
  // let go of a download from inside one of its callbacks.
  void abandon();

 private:
  void onMetaData();
  void onReadyRead();
  void sendRequest(const QUrl& url);
  void followRedirect();
  void onReplyFinished();
  void onTimeout(const QString& what);
  bool accept(const QByteArray& chunk);
  bool startResponse(int code);
  void fail(const QString& error);
  void complete(bool ok, const QString& error);

  QNetworkAccessManager& network_;
  QUrl url_;
  QUrl currentUrl_;
  DownloadLimits limits_;
  QString destinationPath_;
  foundation::FileDescriptor file_;  // the destination file while it is written
  bool createdDestination_ = false;  // removed again unless the download succeeds
  QPointer<QNetworkReply> reply_;
  QTimer connectTimer_;
  QTimer stallTimer_;
  QTimer paceTimer_;
  std::optional<TransferPace> pace_;
  ProgressHandler progress_;
  ResponseHandler response_;
  QList<QPair<QByteArray, QByteArray>> extraHeaders_;
  bool acceptNotModified_ = false;
  bool keepOnFailure_ = false;
  bool responseStarted_ = false;
  qint64 resumeFrom_ = 0;
  QByteArray ifRange_;
  BodyObserver bodyObserver_;
  FinishedHandler finished_;
  DownloadResult result_;
  qint64 expected_ = -1;
  int redirects_ = 0;
  bool done_ = false;
};

}  // namespace updater
