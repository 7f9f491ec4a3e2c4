#include "updater/core/item_selection.h"

#include "updater/core/version_comparison.h"

#include <QRegularExpression>

#include <algorithm>
#include <utility>

namespace updater {
namespace {

// Zones RFC 822 names instead of giving an offset, with "UTC" and "Z" as feeds write them, in
// minutes east of UTC. The military letters are taken as UTC, as RFC 2822 asks, since RFC 822
// gave their signs backwards; any other name (CET, IST, ...) is refused: many are ambiguous.
constexpr std::pair<const char*, int> kNamedZones[] = {
    {"GMT", 0},      {"UT", 0},       {"UTC", 0},      {"Z", 0},
    {"EST", -5 * 60}, {"EDT", -4 * 60}, {"CST", -6 * 60}, {"CDT", -5 * 60},
    {"MST", -7 * 60}, {"MDT", -6 * 60}, {"PST", -8 * 60}, {"PDT", -7 * 60},
};

constexpr const char* kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                   "jul", "aug", "sep", "oct", "nov", "dec"};
constexpr const char* kFullMonths[] = {"january", "february", "march",     "april",   "may",      "june",
                                       "july",    "august",   "september", "october", "november", "december"};

// 1..12 for an English month name, abbreviated as RFC 822 writes it or in full; 0 otherwise.
// Months in other languages are refused: some of their abbreviations ("mar", "jui.") would
// read as another month, or as either of two.
int monthNumber(const QString& name) {
  const QString lower = name.toLower();
  for (int i = 0; i < 12; ++i) {
    if (lower == QLatin1String(kMonths[i]) || lower == QLatin1String(kFullMonths[i])) return i + 1;
  }
  return 0;
}

// Minutes east of UTC for a zone, or nothing.
std::optional<int> zoneOffset(const QString& zone) {
  static const QRegularExpression numeric(QStringLiteral("^([+-])([0-9]{2})([0-9]{2})$"));
  if (const QRegularExpressionMatch m = numeric.match(zone); m.hasMatch()) {
    const int hours = m.captured(2).toInt();
    const int minutes = m.captured(3).toInt();
    if (hours > 23 || minutes > 59) return std::nullopt;
    return (m.captured(1) == u"-" ? -1 : 1) * (hours * 60 + minutes);
  }
  for (const auto& [name, offset] : kNamedZones) {
    if (zone.compare(QLatin1String(name), Qt::CaseInsensitive) == 0) return offset;
  }
  const char16_t letter = zone.size() == 1 ? QChar::toLower(zone[0].unicode()) : u'\0';
  if (letter >= u'a' && letter <= u'z' && letter != u'j') return 0;
  return std::nullopt;
}

// The year as RFC 2822 reads it: two digits are 2000-2049 or 1950-1999, three are after 1900.
int fullYear(const QString& digits) {
  const int year = digits.toInt();
  if (digits.size() == 2) return year < 50 ? 2000 + year : 1900 + year;
  if (digits.size() == 3) return 1900 + year;
  return year;
}

std::optional<QDateTime> parseRfc2822(const QString& text) {
  // [weekday,] day month year hh:mm[:ss] zone. The weekday only repeats the date: any word is
  // passed over, so that a wrong one does not void the date.
  static const QRegularExpression form(QStringLiteral(
      "^(?:[^\\s,]+\\s*,\\s*)?([0-9]{1,2})\\s+([A-Za-z]+)\\.?\\s+([0-9]{2,4})\\s+"
      "([0-9]{1,2}):([0-9]{2})(?::([0-9]{2}))?\\s*(\\S+)$"));
  const QRegularExpressionMatch m = form.match(text);
  if (!m.hasMatch()) return std::nullopt;
  const int month = monthNumber(m.captured(2));
  const std::optional<int> offset = zoneOffset(m.captured(7));
  if (month == 0 || !offset) return std::nullopt;
  const QDate date(fullYear(m.captured(3)), month, m.captured(1).toInt());
  // A leap second (60) is read as the second before it.
  const int second = std::min(m.captured(6).isEmpty() ? 0 : m.captured(6).toInt(), 59);
  const QTime time(m.captured(4).toInt(), m.captured(5).toInt(), second);
  if (!date.isValid() || !time.isValid()) return std::nullopt;
  return QDateTime(date, time, Qt::UTC).addSecs(-qint64{*offset} * 60);
}

// ISO 8601 date and time, as many feeds write pubDate today; only with an explicit zone.
std::optional<QDateTime> parseIso8601(const QString& text) {
  static const QRegularExpression form(QStringLiteral(
      "^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}(:[0-9]{2}(\\.[0-9]+)?)?(Z|[+-][0-9]{2}:?[0-9]{2})$"));
  if (!form.match(text).hasMatch()) return std::nullopt;
  const QDateTime when = QDateTime::fromString(text, Qt::ISODateWithMs);
  if (!when.isValid() || when.timeSpec() == Qt::LocalTime) return std::nullopt;
  return when.toUTC();
}

// Longer intervals are taken for mistakes; the bound also keeps group x interval in range.
constexpr qint64 kMaxRolloutIntervalSeconds = qint64{10} * 366 * 24 * 3600;

QString isoTime(const QDateTime& when) { return when.toUTC().toString(Qt::ISODate); }

bool isNewer(const AppcastItem& a, const AppcastItem* b) {
  return !b || compareVersions(a.versionString, b->versionString) > 0;
}

bool isBelow(const QString& installed, const QString& limit) {
  return !limit.isEmpty() && compareVersions(installed, limit) < 0;
}

// Whether an informational item is one for this installation (its children limit it).
bool isInformationalFor(const AppcastItem& item, const QString& installed) {
  if (!item.isInformationalUpdate) return false;
  if (item.informationalBelowVersion.isEmpty() && item.informationalVersions.isEmpty()) return true;
  if (isBelow(installed, item.informationalBelowVersion)) return true;
  return std::any_of(item.informationalVersions.begin(), item.informationalVersions.end(),
                     [&](const QString& version) { return compareVersions(installed, version) == 0; });
}

// Where this installation's group joins the rollout; nothing (with a warning) when the item
// cannot be phased, so that it is offered at once rather than withheld for ever.
std::optional<QDateTime> rolloutStart(const AppcastItem& item, int group, QStringList& warnings) {
  if (std::optional<QString> problem = rolloutProblem(item)) {
    warnings << *problem;
    return std::nullopt;
  }
  return parsePubDate(item.pubDate)->addSecs(item.phasedRolloutInterval.toLongLong() * group);
}

}  // namespace

std::optional<QDateTime> parsePubDate(const QString& text) {
  const QString simplified = text.simplified();
  if (std::optional<QDateTime> when = parseRfc2822(simplified)) return when;
  return parseIso8601(simplified);
}

std::optional<QString> rolloutProblem(const AppcastItem& item) {
  bool ok = false;
  const qint64 interval = item.phasedRolloutInterval.toLongLong(&ok);
  if (!ok || interval < 0 || interval > kMaxRolloutIntervalSeconds) {
    return QStringLiteral("version %1 has an unreadable phasedRolloutInterval \"%2\"; it is offered at once")
        .arg(item.versionString, item.phasedRolloutInterval);
  }
  if (!parsePubDate(item.pubDate)) {
    return QStringLiteral("version %1 is phased but its pubDate \"%2\" is unreadable; it is offered at once")
        .arg(item.versionString, item.pubDate);
  }
  return std::nullopt;
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
    if (isInformationalFor(item, installation.version)) {
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
      if (!item.hasEnclosure && !item.otherPlatforms.isEmpty()) {
        verdict(QStringLiteral("no enclosure for %1 (only %2): never offered")
                    .arg(QLatin1String(kOurOperatingSystem), item.otherPlatforms.join(QStringLiteral(", "))));
      } else {
        verdict(QStringLiteral("no enclosure to download: never offered"));
      }
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
