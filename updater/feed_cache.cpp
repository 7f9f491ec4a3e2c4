#include "updater/feed_cache.h"

#include "updater/core/appcast.h"
#include "updater/download.h"
#include "updater/kept_files.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

namespace updater {

namespace {

// A feed, base64 and a few headers: room enough, and no more.
constexpr qint64 kMaxKeptFeedFileBytes = kMaxFeedBytes * 4 / 3 + 64 * 1024;

}  // namespace

FeedCache::FeedCache(const QString& identifier) : identifier_(identifier) {
  const QString folder = keptFilesFolder(identifier);
  if (!folder.isEmpty()) path_ = folder + QStringLiteral("/feed.kept");
}

std::optional<KeptFeed> FeedCache::load(const QUrl& url) const {
  if (path_.isEmpty()) return std::nullopt;
  const std::optional<QByteArray> bytes = readKeptFile(path_, kMaxKeptFeedFileBytes);
  if (!bytes) return std::nullopt;
  const QJsonObject kept = QJsonDocument::fromJson(*bytes).object();
  KeptFeed feed;
  feed.url = QUrl(kept.value(QStringLiteral("url")).toString());
  feed.etag = kept.value(QStringLiteral("etag")).toString().toLatin1();
  feed.lastModified = kept.value(QStringLiteral("lastModified")).toString().toLatin1();
  feed.body = QByteArray::fromBase64(kept.value(QStringLiteral("body")).toString().toLatin1());
  if (feed.url != url || (feed.etag.isEmpty() && feed.lastModified.isEmpty())) return std::nullopt;
  return feed;
}

Status FeedCache::keep(const KeptFeed& feed) const {
  if (feed.etag.isEmpty() && feed.lastModified.isEmpty()) {
    drop();
    return {};
  }
  Result<QString> folder = makeKeptFilesFolder(identifier_);
  if (!folder) return folder.error();
  QJsonObject kept;
  kept.insert(QStringLiteral("url"), feed.url.toString());
  kept.insert(QStringLiteral("etag"), QString::fromLatin1(feed.etag));
  kept.insert(QStringLiteral("lastModified"), QString::fromLatin1(feed.lastModified));
  kept.insert(QStringLiteral("body"), QString::fromLatin1(feed.body.toBase64()));
  return writeKeptFile(path_, QJsonDocument(kept).toJson(QJsonDocument::Compact));
}

void FeedCache::askIfChanged(Download& download, const KeptFeed& kept) {
  if (!kept.etag.isEmpty()) download.setRequestHeader("If-None-Match", kept.etag);
  if (!kept.lastModified.isEmpty()) download.setRequestHeader("If-Modified-Since", kept.lastModified);
  download.acceptNotModified();
}

void FeedCache::drop() const {
  if (!path_.isEmpty()) QFile::remove(path_);
}

}  // namespace updater
