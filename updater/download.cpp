#include "updater/download.h"

#include "updater/url_policy.h"

#include <QFile>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace updater {

namespace {

// Bounds what Qt buffers for us between two reads, so a fast server cannot grow it.
constexpr qint64 kReadChunk = 1024 * 1024;

QString describe(const QUrl& url) { return url.toDisplayString(QUrl::RemoveUserInfo); }

QString systemReason(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

}  // namespace

Download::Download(QNetworkAccessManager& network, const QUrl& url, const DownloadLimits& limits,
                   QObject* parent)
    : QObject(parent), network_(network), url_(url), currentUrl_(url), limits_(limits) {
  connectTimer_.setSingleShot(true);
  stallTimer_.setSingleShot(true);
  connect(&connectTimer_, &QTimer::timeout, this,
          [this] { onTimeout(QStringLiteral("no answer within %1 ms").arg(limits_.connectTimeoutMs)); });
  connect(&stallTimer_, &QTimer::timeout, this,
          [this] { onTimeout(QStringLiteral("nothing received for %1 ms").arg(limits_.stallTimeoutMs)); });
  connect(&paceTimer_, &QTimer::timeout, this, [this] {
    if (!pace_) return;
    if (const auto why = pace_->verdict(TransferPace::Clock::now())) onTimeout(*why);
  });
}

Download::~Download() {
  if (reply_) {
    disconnect(reply_, nullptr, this, nullptr);
    reply_->abort();
    delete reply_;
  }
  if (file_ && !done_) {
    file_.reset();
    if (createdDestination_) QFile::remove(destinationPath_);
  }
}

void Download::setDestinationFile(const QString& path) { destinationPath_ = path; }

void Download::setKeptDestination(foundation::FileDescriptor file, const QString& path, qint64 keptBytes,
                                  const QByteArray& validator) {
  destinationPath_ = path;
  file_ = std::move(file);
  keepOnFailure_ = true;
  // Without a validator the kept bytes could belong to another file: ask for everything.
  resumeFrom_ = validator.isEmpty() ? 0 : keptBytes;
  ifRange_ = validator;
}

void Download::start(FinishedHandler finished) {
  finished_ = std::move(finished);
  QString why;
  if (limits_.maxBytes <= 0) {
    fail(QStringLiteral("%1: no size limit given").arg(describe(url_)));
    return;
  }
  if (!isAllowedSourceUrl(url_, &why)) {
    fail(why);
    return;
  }
  if (!destinationPath_.isEmpty() && !file_) {
    // Written unbuffered, with the system's own reason for every failure: a buffered write
    // that comes up short on a full disk leaves no error to report but "Unknown error".
    foundation::FileDescriptor file(::open(QFile::encodeName(destinationPath_).constData(),
                                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file) {
      fail(QStringLiteral("cannot create %1: %2").arg(destinationPath_, systemReason(errno)));
      return;
    }
    file_ = std::move(file);
    createdDestination_ = true;
  }

  pace_.emplace(limits_.pace, TransferPace::Clock::now());
  paceTimer_.start(pace_->checkInterval());
  sendRequest(url_);
}

void Download::sendRequest(const QUrl& url) {
  // Redirects are followed here, not by Qt: each hop is checked against the policy, and
  // Qt 6.4's own following re-sends requests and can end a reply with no body and no error.
  QNetworkRequest request(url);
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
  request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                       QNetworkRequest::AlwaysNetwork);
  // The body must arrive as stored: signatures and declared lengths are over those bytes.
  request.setRawHeader("Accept-Encoding", "identity");
  request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("QuillaneUpdater/1.0"));
  for (const auto& [name, value] : extraHeaders_) request.setRawHeader(name, value);
  if (resumeFrom_ > 0) {
    request.setRawHeader("Range", "bytes=" + QByteArray::number(resumeFrom_) + '-');
    request.setRawHeader("If-Range", ifRange_);
  }

  reply_ = network_.get(request);
  reply_->setReadBufferSize(kReadChunk);
  connect(reply_, &QNetworkReply::metaDataChanged, this, &Download::onMetaData);
  connect(reply_, &QNetworkReply::readyRead, this, &Download::onReadyRead);
  connect(reply_, &QNetworkReply::finished, this, &Download::onReplyFinished);
  connectTimer_.start(limits_.connectTimeoutMs);
  stallTimer_.stop();
}

void Download::cancel(const QString& reason) {
  if (!done_) fail(reason);
}

void Download::abandon() {
  finished_ = nullptr;
  progress_ = nullptr;
  complete(false, QStringLiteral("abandoned"));
  deleteLater();
}

void Download::followRedirect() {
  QVariant target = reply_->attribute(QNetworkRequest::RedirectionTargetAttribute);
  if (!target.isValid() || target.toUrl().isEmpty()) {
    fail(QStringLiteral("%1: a redirect without a target").arg(describe(currentUrl_)));
    return;
  }
  const QUrl to = currentUrl_.resolved(target.toUrl());
  QString why;
  if (++redirects_ > limits_.maxRedirects) {
    fail(QStringLiteral("%1: more than %2 redirects").arg(describe(url_)).arg(limits_.maxRedirects));
    return;
  }
  if (!isAllowedRedirect(currentUrl_, to, &why)) {
    fail(QStringLiteral("%1: %2").arg(describe(url_), why));
    return;
  }
  disconnect(reply_, nullptr, this, nullptr);
  reply_->deleteLater();
  reply_ = nullptr;
  currentUrl_ = to;
  sendRequest(to);
}

void Download::onMetaData() {
  if (done_ || !reply_) return;
  const QVariant status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute);
  if (status.isValid()) {
    const int code = status.toInt();
    // A redirect's own body does not count; it is followed once it has ended.
    if (code < 200 || (code >= 300 && code < 400)) return;
    if (code >= 400) {
      // The kept part does not fit the server's file: the next run starts over.
      if (code == 416 && keepOnFailure_ && file_) (void)::ftruncate(file_.get(), 0);
      fail(QStringLiteral("%1: the server answered %2").arg(describe(currentUrl_)).arg(code));
      return;
    }
  }
  connectTimer_.stop();
  stallTimer_.start(limits_.stallTimeoutMs);
  if (!startResponse(status.isValid() ? status.toInt() : 200)) return;
  const QVariant length = reply_->header(QNetworkRequest::ContentLengthHeader);
  if (!length.isValid()) return;
  expected_ = length.toLongLong() + result_.keptBytes;
  if (expected_ > limits_.maxBytes) {
    fail(QStringLiteral("%1: %2 bytes announced, more than the %3 accepted")
             .arg(describe(currentUrl_)).arg(expected_).arg(limits_.maxBytes));
  } else if (limits_.exactBytes >= 0 && expected_ != limits_.exactBytes) {
    fail(QStringLiteral("%1: %2 bytes announced, %3 expected")
             .arg(describe(currentUrl_)).arg(expected_).arg(limits_.exactBytes));
  }
}

bool Download::startResponse(int code) {
  if (responseStarted_) return true;
  responseStarted_ = true;
  ResponseStart start;
  start.etag = result_.etag = reply_->rawHeader("ETag");
  start.lastModified = result_.lastModified = reply_->rawHeader("Last-Modified");
  if (file_ && keepOnFailure_) {
    // 206 only counts when it is the rest we asked for; anything else replaces the kept part.
    const QByteArray range = reply_->rawHeader("Content-Range");
    const QByteArray wanted = "bytes " + QByteArray::number(resumeFrom_) + '-';
    start.resumed = resumeFrom_ > 0 && code == 206;
    if (start.resumed && !range.startsWith(wanted)) {
      fail(QStringLiteral("%1: the server sent another part than the one asked for (%2)")
               .arg(describe(currentUrl_), QString::fromLatin1(range)));
      return false;
    }
    const qint64 kept = start.resumed ? resumeFrom_ : 0;
    if (::ftruncate(file_.get(), kept) != 0 || ::lseek(file_.get(), kept, SEEK_SET) < 0) {
      fail(QStringLiteral("cannot write %1: %2").arg(destinationPath_, systemReason(errno)));
      return false;
    }
    result_.keptBytes = result_.bytes = kept;
  }
  if (response_) response_(start);
  return !done_;
}

void Download::onReadyRead() {
  if (done_ || !reply_) return;
  const QVariant status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute);
  if (status.isValid() && status.toInt() >= 300 && status.toInt() < 400) {
    reply_->readAll();  // a redirect's own body is discarded
    return;
  }
  connectTimer_.stop();
  while (!done_ && reply_ && reply_->bytesAvailable() > 0) {
    if (!accept(reply_->read(kReadChunk))) return;
  }
  if (!done_) {
    stallTimer_.start(limits_.stallTimeoutMs);
    if (progress_) progress_(result_.bytes, limits_.exactBytes >= 0 ? limits_.exactBytes : expected_);
  }
}

bool Download::accept(const QByteArray& chunk) {
  const qint64 total = result_.bytes + chunk.size();
  if (total > limits_.maxBytes) {
    fail(QStringLiteral("%1: more than the %2 bytes accepted")
             .arg(describe(currentUrl_)).arg(limits_.maxBytes));
    return false;
  }
  if (limits_.exactBytes >= 0 && total > limits_.exactBytes) {
    fail(QStringLiteral("%1: longer than the %2 bytes declared")
             .arg(describe(currentUrl_)).arg(limits_.exactBytes));
    return false;
  }
  if (file_) {
    if (const int error = foundation::writeAll(file_.get(), chunk.constData(), static_cast<std::size_t>(chunk.size()))) {
      fail(QStringLiteral("cannot write %1: %2").arg(destinationPath_, systemReason(error)));
      return false;
    }
  } else {
    result_.data.append(chunk);
  }
  result_.bytes = total;
  if (pace_) pace_->received(chunk.size(), TransferPace::Clock::now());
  if (bodyObserver_) bodyObserver_(chunk);
  return true;
}

void Download::onReplyFinished() {
  if (done_ || !reply_) return;
  const int code = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  if (code >= 300 && code < 400 && code != 304) {
    followRedirect();
    return;
  }
  if (code == 304 && acceptNotModified_ && reply_->error() == QNetworkReply::NoError) {
    result_.notModified = true;
    result_.etag = reply_->rawHeader("ETag");
    result_.lastModified = reply_->rawHeader("Last-Modified");
    complete(true, QString());
    return;
  }
  if (reply_->error() != QNetworkReply::NoError) {
    fail(QStringLiteral("%1: %2").arg(describe(currentUrl_), reply_->errorString()));
    return;
  }
  if (code >= 200 && code < 300 && !startResponse(code)) return;
  onReadyRead();  // whatever arrived with the end of the reply
  if (done_) return;
  const QVariant status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute);
  if (status.isValid() && (status.toInt() < 200 || status.toInt() >= 300)) {
    fail(QStringLiteral("%1: the server answered %2").arg(describe(currentUrl_)).arg(status.toInt()));
    return;
  }
  if (limits_.exactBytes >= 0 && result_.bytes != limits_.exactBytes) {
    fail(QStringLiteral("%1: %2 bytes received, %3 declared")
             .arg(describe(currentUrl_)).arg(result_.bytes).arg(limits_.exactBytes));
    return;
  }
  // Delayed write-back errors (a full disk on some filesystems) come with the close.
  if (file_ && file_.close() != 0) {
    fail(QStringLiteral("cannot write %1: %2").arg(destinationPath_, systemReason(errno)));
    return;
  }
  complete(true, QString());
}

void Download::onTimeout(const QString& what) {
  fail(QStringLiteral("%1: %2").arg(describe(currentUrl_), what));
}

void Download::fail(const QString& error) { complete(false, error); }

void Download::complete(bool ok, const QString& error) {
  if (done_) return;
  done_ = true;
  connectTimer_.stop();
  stallTimer_.stop();
  paceTimer_.stop();
  if (reply_) {
    disconnect(reply_, nullptr, this, nullptr);
    // Not from inside the reply's own signal: Qt does not expect that.
    QNetworkReply* reply = reply_;
    QTimer::singleShot(0, reply, [reply] {
      reply->abort();
      reply->deleteLater();
    });
    reply_ = nullptr;
  }
  if (file_ || createdDestination_) {
    // A kept part stays for the next run, whatever arrived; a file of our own goes on failure.
    file_.reset();
    if (!ok && createdDestination_) QFile::remove(destinationPath_);
  }
  result_.ok = ok;
  result_.error = error;
  result_.finalUrl = currentUrl_;
  if (!ok) result_.data.clear();
  // Never call back from inside start() or a reply's signal: the handler may delete us.
  QTimer::singleShot(0, this, [this] {
    if (finished_) {
      FinishedHandler handler = std::move(finished_);
      handler(result_);
    }
  });
}

}  // namespace updater
