// Reading an update feed: an RSS 2.0 "appcast" whose items describe the published versions.
#pragma once

#include "updater/core/result.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace updater {

// The namespace that feeds declare for their "sparkle:" prefix. Elements and attributes are
// recognised by this URI, never by the prefix a document happens to bind to it.
inline constexpr char kAppcastNamespace[] = "http://www.andymatuschak.org/xml-namespaces/sparkle";

// Our own namespace for the signed-feed extension (docs/update-feeds.md).
inline constexpr char kSignedFeedNamespace[] = "urn:quillane:xml-namespaces:signed-feed";

// The sparkle:os value that names the platform this updater installs for. Feeds that serve
// several platforms give each enclosure a sparkle:os; an enclosure naming any other platform
// ("macos", "windows", ...) holds a build we cannot run and is never chosen. Our bundles are
// built for Linux, so a Mac build of the same version is another platform's file.
inline constexpr char kOurOperatingSystem[] = "linux";

// Largest feed document accepted, in bytes; larger ones are refused unread.
inline constexpr qsizetype kMaxFeedBytes = 4 * 1024 * 1024;

// A delta offered beside an item's full archive (<sparkle:deltas><enclosure …/></sparkle:deltas>):
// it turns exactly version deltaFrom into the item's version.
struct AppcastDelta {
  QString deltaFrom;             // sparkle:deltaFrom, compared as a string with CFBundleVersion
  QString fileURL;               // enclosure url, as written
  qint64 contentLength = -1;     // enclosure length in bytes, -1 when missing or not a number
  QString edSignature;           // enclosure sparkle:edSignature, base64 as written (unchecked here)
};

struct AppcastItem {
  QString title;
  QString versionString;         // the machine version (sparkle:version), compared with CFBundleVersion
  QString displayVersionString;  // sparkle:shortVersionString, or versionString when absent
  QString itemDescription;       // the item's <description> text (release notes inline), may be empty
  QString releaseNotesURL;       // sparkle:releaseNotesLink, may be empty
  QString pubDate;               // as written in the feed, may be empty
  // A sparkle:criticalUpdate element is present, as a child of the item or, as long-lived feeds
  // write it, inside <sparkle:tags>.
  bool isCriticalUpdate = false;
  QString link;                  // the item's <link>: the page an informational update points to

  // Release management (docs/update-feeds.md); item_selection.h applies these.
  QString criticalBelowVersion;      // criticalUpdate's sparkle:version: critical only below it;
                                     // empty when any criticalUpdate element has no limit
  QString channel;                   // sparkle:channel; empty for the default channel
  QString phasedRolloutInterval;     // sparkle:phasedRolloutInterval (seconds), as written
  bool isInformationalUpdate = false;  // sparkle:informationalUpdate: announced, never installed
  // Its children limit it: informational only for installations below sparkle:belowVersion or
  // at exactly one of the sparkle:version values, an ordinary update for every other one.
  // Without either child it is informational for every installation.
  QString informationalBelowVersion;   // the highest sparkle:belowVersion
  QStringList informationalVersions;   // the sparkle:version values, in document order
  QString minimumAutoupdateVersion;    // installations below it are asked, never updated silently

  // The enclosure for our platform: the first naming kOurOperatingSystem in sparkle:os, else the
  // first without sparkle:os. An item without one is kept (it may carry release notes) but is
  // never offered.
  bool hasEnclosure = false;
  QStringList otherPlatforms;    // sparkle:os of the enclosures passed over, in document order
  QString fileURL;               // enclosure url, as written
  qint64 contentLength = -1;     // enclosure length in bytes, -1 when missing or not a number
  QString edSignature;           // enclosure sparkle:edSignature, base64 as written (unchecked here)
  std::vector<AppcastDelta> deltas;  // in document order; only those with a url and a deltaFrom,
                                     // and no sparkle:os naming another platform

  // The delta that starts from exactly installedVersion, if the item offers one.
  const AppcastDelta* deltaFrom(const QString& installedVersion) const;

  // True when the item names something to download: an enclosure with a url, and a version.
  // Only such items are offered. Length and signature are checked later, failing closed, so that
  // an unsigned item is reported as such rather than silently passed over.
  bool isInstallable() const;
};

struct Appcast {
  QString title;                       // the channel's title
  std::vector<AppcastItem> items;      // in document order
  std::optional<QDateTime> expiresAt;  // the channel's expiry (signed-feed extension), UTC
};

// Parses a feed document. Refuses (with a reason naming the line) documents larger than
// kMaxFeedBytes, malformed XML, any DTD or entity declaration (no entity is ever expanded), a root
// that is not <rss>, and a document without a <channel>. Items are returned whatever they lack;
// their version is taken from the sparkle:version element, or else the chosen enclosure's
// sparkle:version attribute (without one for our platform: the first other platform's). Pure; never blocks.
Result<Appcast> parseAppcast(const QByteArray& document);

}  // namespace updater
