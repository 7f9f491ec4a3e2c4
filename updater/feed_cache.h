// The last feed a run accepted, kept with the server's validators so that the next check can
// ask "changed since?" (If-None-Match / If-Modified-Since) and, on 304 Not Modified, read the
// kept copy instead of fetching it again. A kept feed is never trusted for being kept: the run
// checks it exactly as a freshly fetched one, and drops it when that check fails.
//
// Kept as one file, feed.kept in the kept-files folder (kept_files.h), replaced in one step, so
// two runs at once can only ever see one whole copy.
#pragma once

#include "updater/core/result.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <optional>

namespace updater {

struct KeptFeed {
  QUrl url;                  // the address asked for (before redirects)
  QByteArray body;
  QByteArray etag;           // as the server sent it, quotes included; may be empty
  QByteArray lastModified;   // as the server sent it; may be empty
};

class Download;

class FeedCache {
 public:
  explicit FeedCache(const QString& identifier);

  // The kept feed for `url`, when there is one with at least one validator.
  std::optional<KeptFeed> load(const QUrl& url) const;
  // Keeps `feed` in place of any earlier one; a feed without validators is not kept (and any
  // earlier one dropped), as nothing could be asked about it.
  Status keep(const KeptFeed& feed) const;
  void drop() const;

  // Makes `download` ask whether `kept` changed: it then ends with notModified when it has not.
  static void askIfChanged(Download& download, const KeptFeed& kept);

 private:
  QString path_;  // empty: nowhere to keep anything
  QString identifier_;
};

}  // namespace updater
