// Editing an update feed as text, so that everything the publisher wrote by hand (comments,
// other elements, formatting) stays exactly as it was.
#pragma once

#include "updater/core/key_statements.h"
#include "updater/core/result.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <vector>

namespace publisher {

// A delta beside the item's archive: <sparkle:deltas><enclosure sparkle:deltaFrom=…/></sparkle:deltas>.
struct FeedDelta {
  QString deltaFrom;    // the version it starts from
  QString url;
  qint64 length = 0;
  QString edSignature;  // omitted when empty
};

struct FeedItem {
  QString title;
  QString version;             // sparkle:version
  QString shortVersion;        // sparkle:shortVersionString, omitted when empty
  QString url;                 // enclosure url; no enclosure when empty (an announcement)
  qint64 length = 0;           // enclosure length
  QString edSignature;         // enclosure sparkle:edSignature, omitted when empty
  QString operatingSystem;     // enclosure sparkle:os, omitted when empty
  QString releaseNotesLink;    // omitted when empty
  QString description;         // omitted when empty
  bool critical = false;       // sparkle:criticalUpdate
  QString criticalBelowVersion;  // its sparkle:version: critical only below it, omitted when empty
  QString link;                // <link>, the page an announcement points to, omitted when empty
  QString channel;             // sparkle:channel, omitted when empty
  QString phasedRolloutInterval;  // sparkle:phasedRolloutInterval (seconds), omitted when empty
  bool informational = false;  // sparkle:informationalUpdate
  QString informationalBelowVersion;  // its sparkle:belowVersion, omitted when empty
  QString minimumAutoupdateVersion;   // omitted when empty
  QDateTime pubDate;           // written in RFC 2822 form, omitted when invalid
  std::vector<FeedDelta> deltas;
};

// A new feed with an empty channel of that title.
QByteArray newFeed(const QString& channelTitle);

// Adds item as the channel's first item. An item with the same version (compareVersions) is
// replaced, keeping its enclosures for other platforms than the new enclosure's (an enclosure
// without sparkle:os is for ours). The feed must be one parseAppcast() accepts, in UTF-8; a signature comment at its end
// is dropped (the edit voids it). The root gets the "sparkle" namespace declaration if it lacks it;
// a "sparkle" prefix bound to another namespace is an error.
updater::Result<QByteArray> upsertFeedItem(const QByteArray& feed, const FeedItem& item);

// Sets the channel's expiry (signed-feed extension), replacing an existing one. Same conditions.
updater::Result<QByteArray> setFeedExpiry(const QByteArray& feed, const QDateTime& expiresAt);

// Sets the channel's serial (signed-feed extension), replacing an existing one. Same conditions.
updater::Result<QByteArray> setFeedSerial(const QByteArray& feed, std::uint64_t serial);

// Adds a key statement after the channel's last one (or as its first child). Same conditions.
updater::Result<QByteArray> addKeyStatement(const QByteArray& feed, const updater::KeyStatement& statement);

}  // namespace publisher
