// Choosing the feed item to offer one installation: channels, phased rollouts, informational,
// version-limited critical and major updates, and the version the user skipped. One pure
// function, so that a run and the publisher's `lint` command agree on every rule.
#pragma once

#include "updater/core/appcast.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace updater {

// Groups of a phased rollout: an installation draws one of 0..kUpdateGroupCount-1, once.
inline constexpr int kUpdateGroupCount = 7;

enum class CheckKind {
  Background,  // started by the program: skipped versions and rollouts apply
  UserAsked,   // started by the user: offers the newest at once
};

struct Installation {
  QString version;             // the installed CFBundleVersion
  QStringList channels;        // channels followed besides the default one (SUAllowedChannels)
  int group = 0;               // 0..6 (SUUpdateGroupIdentifier); out of range counts as 6
  QString skippedVersion;      // SUSkippedVersion; consulted by background checks only
};

enum class OfferKind {
  Nothing,
  Update,         // download, verify, install
  Informational,  // announce: version, notes and its link; nothing to install
};

// Why one item was or was not chosen, for logs and `update-publisher lint`.
struct ItemVerdict {
  QString version;
  QString verdict;
};

struct ItemSelection {
  OfferKind kind = OfferKind::Nothing;
  std::optional<AppcastItem> item;  // set unless kind is Nothing
  bool critical = false;            // critical for this installation (or replacing such an item): not skippable
  bool asksBeforeInstall = false;   // below its minimumAutoupdateVersion: never installed silently
  QString reason;                   // one sentence: what is offered and why, or why nothing

  // A newer update held back by its rollout: the instant this installation's group gets it.
  std::optional<QString> heldBackVersion;
  QDateTime heldBackUntil;

  QStringList warnings;               // feed problems worth a log line (unreadable pubDate, ...)
  std::vector<ItemVerdict> verdicts;  // every item, in feed order
};

// The item a check of `kind` at `now` (UTC) offers `installation`:
// - items of a channel the installation does not follow are invisible;
// - only items newer than the installed version count;
// - informational items (for this installation: below their belowVersion or at one of their
//   versions, when they name any) are announced on checks the user asked for, and only when no
//   installable update is on offer; for other installations they are ordinary;
// - an item without an enclosure for our platform (kOurOperatingSystem) is never installed;
// - critical items (below their criticalUpdate version, if any) ignore rollouts and skips, and
//   make the update offered critical too when it is newer;
// - a background check passes over the skipped version and older ones, and items whose
//   rollout has not reached the installation's group yet (pubDate + group x interval);
// - of what remains, the newest wins.
// Pure and total; never blocks.
ItemSelection selectItem(const Appcast& feed, const Installation& installation, CheckKind kind,
                         const QDateTime& now);

// Why an item that names a phasedRolloutInterval cannot be rolled out in stages (an interval
// that is not a whole number of seconds, or a pubDate parsePubDate cannot read): the item is
// then offered to every group at once. Nothing when it can be.
std::optional<QString> rolloutProblem(const AppcastItem& item);

// A pubDate as UTC; nothing when unreadable. Read: RFC 822/2822 dates ("Mon, 07 Dec 2026
// 10:00:00 +0000"), the weekday optional and never checked, English month names abbreviated
// or in full, seconds optional, one-digit days and hours, two-digit years as RFC 2822 reads
// them (26 is 2026, 98 is 1998), numeric zones and the zones RFC 822 names, UTC and Z; and ISO
// 8601 dates with a time and a zone ("2026-12-07T10:00:00Z"). Refused, since the instant would
// be a guess: no zone or a zone of another name, a date without a time, other languages' month
// names, any other layout.
std::optional<QDateTime> parsePubDate(const QString& text);

}  // namespace updater
