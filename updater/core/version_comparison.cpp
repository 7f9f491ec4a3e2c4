#include "updater/core/version_comparison.h"

#include <QList>

#include <algorithm>
#include <vector>

namespace updater {
namespace {

// Ordered so that a greater kind is newer when two runs of different kinds meet.
enum class RunKind { Letters = 0, Separator = 1, Number = 2 };

struct Run {
  RunKind kind;
  QString text;
};

bool isAsciiDigit(QChar c) { return c >= u'0' && c <= u'9'; }
bool isSeparator(QChar c) { return c.isPunct() || c.isSpace(); }

RunKind kindOf(QChar c) {
  if (isAsciiDigit(c)) return RunKind::Number;
  if (isSeparator(c)) return RunKind::Separator;
  return RunKind::Letters;
}

std::vector<Run> splitIntoRuns(QString version) {
  // A "-" after the first character starts a suffix ("1.2-beta", "1.2-debian") that is not part
  // of the version proper.
  const qsizetype dash = version.indexOf(u'-', 1);
  if (dash > 0) version.truncate(dash);

  std::vector<Run> runs;
  for (const QChar c : version) {
    const RunKind kind = kindOf(c);
    // Separators are always runs of one character; digits and letters gather.
    if (!runs.empty() && runs.back().kind == kind && kind != RunKind::Separator) {
      runs.back().text.append(c);
    } else {
      runs.push_back({kind, QString(c)});
    }
  }
  return runs;
}

// The leading part made only of numbers and periods ("1.2.3" in "1.2.3b4"): its end index and
// how many numbers it holds.
struct NumericPrefix {
  std::size_t end = 0;
  int numbers = 0;
};

NumericPrefix numericPrefix(const std::vector<Run>& runs) {
  NumericPrefix prefix;
  for (const Run& run : runs) {
    const bool period = run.kind == RunKind::Separator && run.text == u".";
    if (run.kind != RunKind::Number && !period) break;
    if (run.kind == RunKind::Number) ++prefix.numbers;
    ++prefix.end;
  }
  return prefix;
}

// Pads the leading numbers with zeros ("1.0" → "1.0.0") up to the given count.
void padNumericPrefix(std::vector<Run>& runs, const NumericPrefix& prefix, int numbers) {
  std::vector<Run> padding;
  const bool endsWithNumber = prefix.end > 0 && runs[prefix.end - 1].kind == RunKind::Number;
  for (int have = prefix.numbers; have < numbers; ++have) {
    if (endsWithNumber || have > prefix.numbers) padding.push_back({RunKind::Separator, QStringLiteral(".")});
    padding.push_back({RunKind::Number, QStringLiteral("0")});
  }
  runs.insert(runs.begin() + static_cast<std::ptrdiff_t>(prefix.end), padding.begin(), padding.end());
}

// Numbers of any length, by value: no conversion that could overflow.
int compareNumbers(const QString& a, const QString& b) {
  auto significant = [](const QString& s) {
    qsizetype i = 0;
    while (i + 1 < s.size() && s[i] == u'0') ++i;
    return QStringView(s).mid(i);
  };
  const QStringView x = significant(a);
  const QStringView y = significant(b);
  if (x.size() != y.size()) return x.size() < y.size() ? -1 : 1;
  const int order = x.compare(y);
  return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

// By Unicode code point, case-sensitive (UTF-16 code-unit order differs above U+FFFF).
int compareLetters(const QString& a, const QString& b) {
  const QList<uint> x = a.toUcs4();
  const QList<uint> y = b.toUcs4();
  for (qsizetype i = 0; i < x.size() && i < y.size(); ++i) {
    if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
  }
  if (x.size() != y.size()) return x.size() < y.size() ? -1 : 1;
  return 0;
}

int compareRuns(const Run& a, const Run& b) {
  if (a.kind != b.kind) return static_cast<int>(a.kind) < static_cast<int>(b.kind) ? -1 : 1;
  switch (a.kind) {
    case RunKind::Number: return compareNumbers(a.text, b.text);
    case RunKind::Letters: return compareLetters(a.text, b.text);
    case RunKind::Separator: return 0;
  }
  return 0;
}

}  // namespace

int compareVersions(const QString& a, const QString& b) {
  std::vector<Run> x = splitIntoRuns(a);
  std::vector<Run> y = splitIntoRuns(b);

  const NumericPrefix px = numericPrefix(x);
  const NumericPrefix py = numericPrefix(y);
  if (px.numbers < py.numbers) padNumericPrefix(x, px, py.numbers);
  if (py.numbers < px.numbers) padNumericPrefix(y, py, px.numbers);

  const std::size_t common = std::min(x.size(), y.size());
  for (std::size_t i = 0; i < common; ++i) {
    if (const int order = compareRuns(x[i], y[i]); order != 0) return order;
  }
  if (x.size() == y.size()) return 0;
  // The longer one is newer, unless what it adds starts with letters: "1.0" is newer than "1.0b".
  if (x.size() > y.size()) return x[common].kind == RunKind::Letters ? -1 : 1;
  return y[common].kind == RunKind::Letters ? 1 : -1;
}

}  // namespace updater
