#include "updater/core/item_selection.h"

#include "updater/core/version_comparison.h"

#include <QRegularExpression>

#include <algorithm>
#include <utility>

namespace updater {
namespace {

// Zones RFC 822 names instead of giving an offset; Qt reads offsets only.
constexpr std::pair<const char*, const char*> kNamedZones[] = {
    {"GMT", "+0000"}, {"UT", "+0000"},  {"UTC", "+0000"}, {"Z", "+0000"},
    {"EST", "-0500"}, {"EDT", "-0400"}, {"CST", "-0600"}, {"CDT", "-0500"},
    {"MST", "-0700"}, {"MDT", "-0600"}, {"PST", "-0800"}, {"PDT", "-0700"},
};

// Longer intervals are taken for mistakes; the bound also keeps group x interval in range.
constexpr qint64 kMaxRolloutIntervalSeconds = qint64{10} * 366 * 24 * 3600;

QString isoTime(const QDateTime& when) { return when.toUTC().toString(Qt::ISODate); }

bool isNewer(const AppcastItem& a, const AppcastItem* b) {
  return !b || compareVersions(a.versionString, b->versionString) > 0;
}

bool isBelow(const QString& installed, const QString& limit) {
  return !limit.isEmpty() && compareVersions(installed, limit) < 0;
}

// Where this installation's group joins the rollout; nothing (with a warning) when the item
// cannot be phased, so that it is offered at once rather than withheld for ever.
std::optional<QDateTime> rolloutStart(const AppcastItem& item, int group, QStringList& warnings) {
  bool ok = false;
  const qint64 interval = item.phasedRolloutInterval.toLongLong(&ok);
  if (!ok || interval < 0 || interval > kMaxRolloutIntervalSeconds) {
    warnings << QStringLiteral("version %1 has an unreadable phasedRolloutInterval \"%2\"; it is offered at once")
                    .arg(item.versionString, item.phasedRolloutInterval);
    return std::nullopt;
  }
  const std::optional<QDateTime> published = parsePubDate(item.pubDate);
  if (!published) {
    warnings << QStringLiteral("version %1 is phased but its pubDate \"%2\" is unreadable; it is offered at once")
                    .arg(item.versionString, item.pubDate);
    return std::nullopt;
  }
  return published->addSecs(interval * group);
}

}  // namespace

std::optional<QDateTime> parsePubDate(const QString& text) {
  QString date = text.simplified();
  // The weekday only repeats the date; a wrong one must not void the date.
  if (const qsizetype comma = date.indexOf(u','); comma >= 0 && comma <= 9) date = date.mid(comma + 1).trimmed();
  const qsizetype lastSpace = date.lastIndexOf(u' ');
  if (lastSpace > 0) {
    const QString zone = date.mid(lastSpace + 1);
    for (const auto& [name, offset] : kNamedZones) {
      if (zone.compare(QLatin1String(name), Qt::CaseInsensitive) == 0) {
        date = date.left(lastSpace + 1) + QLatin1String(offset);
        break;
      }
    }
  }
  // Without a zone the instant would be a guess.
  static const QRegularExpression endsWithOffset(QStringLiteral(" [+-][0-9]{4}$"));
  if (!endsWithOffset.match(date).hasMatch()) return std::nullopt;
  const QDateTime when = QDateTime::fromString(date, Qt::RFC2822Date);
  if (!when.isValid()) return std::nullopt;
  return when.toUTC();
}

ItemSelection selectItem(const Appcast& feed, const Installation& installation, CheckKind kind,
                         const QDateTime& now) {
  ItemSelection result;
  const bool background = kind == CheckKind::Background;
  const int group = std::clamp(installation.group, 0, kUpdateGroupCount - 1);
  const QString& skipped = installation.skippedVersion;

  const AppcastItem* update = nullptr;
  bool criticalOnOffer = false;
  std::size_t updateVerdict = 0;
  const AppcastItem* informational = nullptr;
  std::size_t informationalVerdict = 0;
  const AppcastItem* heldBack = nullptr;
  QDateTime heldBackUntil;

  for (const AppcastItem& item : feed.items) {
    auto verdict = [&](const QString& text) { result.verdicts.push_back({item.versionString, text}); };
    if (item.versionString.isEmpty()) {
      verdict(QStringLiteral("no version: never offered"));
      continue;
    }
    if (!item.channel.isEmpty() && !installation.channels.contains(item.channel)) {
      verdict(QStringLiteral("channel \"%1\" is not followed: invisible").arg(item.channel));
      continue;
    }
    if (compareVersions(item.versionString, installation.version) <= 0) {
      verdict(QStringLiteral("not newer than the installed %1").arg(installation.version));
      continue;
    }
    if (item.isInformationalUpdate &&
        (item.informationalBelowVersion.isEmpty() || isBelow(installation.version, item.informationalBelowVersion))) {
      if (background) {
        verdict(QStringLiteral("informational: announced only on a check the user asks for"));
        continue;
      }
      verdict(QStringLiteral("informational: announced unless an installable update is on offer"));
      if (isNewer(item, informational)) {
        informational = &item;
        informationalVerdict = result.verdicts.size() - 1;
      }
      continue;
    }
    if (!item.isInstallable()) {
      verdict(QStringLiteral("no enclosure to download: never offered"));
      continue;
    }
    // A critical update cannot be skipped in the window, so no skip record may hide it.
    const bool critical = item.isCriticalUpdate &&
                          (item.criticalBelowVersion.isEmpty() || isBelow(installation.version, item.criticalBelowVersion));
    if (background && !critical && !skipped.isEmpty() && compareVersions(item.versionString, skipped) <= 0) {
      verdict(QStringLiteral("the user skipped %1: not offered in the background").arg(skipped));
      continue;
    }
    if (background && !critical && !item.phasedRolloutInterval.isEmpty()) {
      const std::optional<QDateTime> start = rolloutStart(item, group, result.warnings);
      if (start && now < *start) {
        verdict(QStringLiteral("phased: group %1 gets it from %2").arg(group).arg(isoTime(*start)));
        if (isNewer(item, heldBack)) {
          heldBack = &item;
          heldBackUntil = *start;
        }
        continue;
      }
    }
    verdict(critical ? QStringLiteral("critical update") : QStringLiteral("update"));
    // A newer update carries an older critical fix with it, so it is as urgent.
    criticalOnOffer = criticalOnOffer || critical;
    if (isNewer(item, update)) {
      update = &item;
      updateVerdict = result.verdicts.size() - 1;
    }
  }

  if (update) {
    result.verdicts[updateVerdict].verdict += QStringLiteral(": offered");
    result.kind = OfferKind::Update;
    result.item = *update;
    result.critical = criticalOnOffer;
    result.asksBeforeInstall = isBelow(installation.version, update->minimumAutoupdateVersion);
    result.reason = QStringLiteral("offers %1").arg(update->versionString);
    if (criticalOnOffer) result.reason += QStringLiteral(", a critical update");
    if (result.asksBeforeInstall) {
      result.reason += QStringLiteral(", asking first (installed version below its minimumAutoupdateVersion %1)")
                           .arg(update->minimumAutoupdateVersion);
    }
  } else if (informational) {
    result.verdicts[informationalVerdict].verdict = QStringLiteral("informational: announced");
    result.kind = OfferKind::Informational;
    result.item = *informational;
    result.reason = QStringLiteral("announces %1, an informational update (nothing to install)")
                        .arg(informational->versionString);
  } else if (heldBack) {
    result.reason = QStringLiteral("offers nothing yet: %1 reaches group %2 at %3")
                        .arg(heldBack->versionString)
                        .arg(group)
                        .arg(isoTime(heldBackUntil));
  } else {
    result.reason = QStringLiteral("offers nothing: no newer version for this installation");
  }
  if (heldBack && (!update || compareVersions(heldBack->versionString, update->versionString) > 0)) {
    result.heldBackVersion = heldBack->versionString;
    result.heldBackUntil = heldBackUntil;
    if (update) {
      result.reason += QStringLiteral("; %1 reaches group %2 at %3").arg(heldBack->versionString).arg(group).arg(isoTime(heldBackUntil));
    }
  }
  return result;
}

}  // namespace updater
