#include "tools/update-publisher/feed_lint.h"

#include <QTextStream>

#include <algorithm>

namespace publisher {
namespace {

using updater::CheckKind;
using updater::ItemSelection;

void describeCheck(QTextStream& out, const char* kind, const ItemSelection& selection, const QStringList& errors) {
  out << kind << ": " << selection.reason << '\n';
  qsizetype width = 0;
  for (const updater::ItemVerdict& item : selection.verdicts) width = std::max(width, item.version.size());
  for (const updater::ItemVerdict& item : selection.verdicts) {
    out << "  " << (item.version.isEmpty() ? QStringLiteral("?") : item.version).leftJustified(width) << "  "
        << item.verdict << '\n';
  }
  for (const QString& warning : selection.warnings) {
    if (!errors.contains(warning)) out << "  warning: " << warning << '\n';
  }
}

}  // namespace

QStringList feedErrors(const updater::Appcast& feed) {
  QStringList errors;
  for (const updater::AppcastItem& item : feed.items) {
    // An item critical for every installation is never phased: its date does not matter.
    const bool criticalForAll = item.isCriticalUpdate && item.criticalBelowVersion.isEmpty();
    if (item.phasedRolloutInterval.isEmpty() || criticalForAll) continue;
    if (std::optional<QString> problem = updater::rolloutProblem(item)) errors << *problem;
  }
  return errors;
}

QString lintReport(const updater::Appcast& feed, const updater::Installation& installation, const QDateTime& now) {
  QString text;
  QTextStream out(&text);
  const QStringList channels = QStringList{QStringLiteral("default")} + installation.channels;
  out << "installed " << installation.version << "; channels " << channels.join(QStringLiteral(", "))
      << "; group " << std::clamp(installation.group, 0, updater::kUpdateGroupCount - 1) << "; skipped "
      << (installation.skippedVersion.isEmpty() ? QStringLiteral("none") : installation.skippedVersion) << "; at "
      << now.toUTC().toString(Qt::ISODate) << '\n';
  const QStringList errors = feedErrors(feed);
  describeCheck(out, "background check", updater::selectItem(feed, installation, CheckKind::Background, now), errors);
  describeCheck(out, "user check", updater::selectItem(feed, installation, CheckKind::UserAsked, now), errors);
  for (const QString& error : errors) out << "error: " << error << '\n';
  out.flush();
  return text;
}

}  // namespace publisher
