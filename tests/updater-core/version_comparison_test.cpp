#include "updater/core/version_comparison.h"

#include <gtest/gtest.h>

#include <QRandomGenerator>

namespace updater {
namespace {

int sign(int v) { return (v > 0) - (v < 0); }

struct Ordering {
  const char* older;
  const char* newer;
};

// Pairs where the second is the newer version.
const Ordering kOrderings[] = {
    // The conventions feed publishers rely on.
    {"1.9", "1.10"},
    {"1.0b2", "1.0"},
    {"1.0b2", "1.0b10"},
    {"1.0a1", "1.0b1"},
    {"1.9.9", "2.0a"},
    {"1.0 (1234)", "1.0 (1235)"},
    // Our own.
    {"1.0b", "1.0"},
    {"1.0b", "1.0.0"},
    {"1.0", "1.0.1"},
    {"1.0.9", "1.1"},
    {"9", "10"},
    {"1", "1.0.1"},
    {"1.0rc1", "1.0"},
    {"1.0B", "1.0a"},                                 // case-sensitive: 'B' < 'a'
    {"1.0", "1.0 (1)"},                               // a trailing build number adds
    {"99999999999999999999", "100000000000000000000"},  // no overflow
    {"1.0.0", "1.0.0.1"},
    {"1a", "1."},  // anything beats a letter run
    {"1.", "1.1"},  // a number beats a separator
    {"\xEF\xBD\x81", "\xF0\x9F\x98\x80"},  // by code point: U+FF41 < U+1F600, unlike UTF-16 order
};

TEST(VersionComparison, OrdersPairsBothWays) {
  for (const Ordering& o : kOrderings) {
    const QString older = QString::fromUtf8(o.older);
    const QString newer = QString::fromUtf8(o.newer);
    EXPECT_LT(compareVersions(older, newer), 0) << o.older << " vs " << o.newer;
    EXPECT_GT(compareVersions(newer, older), 0) << o.newer << " vs " << o.older;
  }
}

TEST(VersionComparison, EqualVersions) {
  const std::pair<const char*, const char*> kEqual[] = {
      {"1.0", "1.0.0"}, {"1.01", "1.1"},   {"1.0", "1.0"},       {"2", "2.0.0.0"},
      {"1.2-beta", "1.2"}, {"1.2-3", "1.2-4"}, {"1.0_1", "1.0 1"},  // separators are alike
      {"0001", "1"},    {"", ""},       {"", "0"},  // padding reaches the empty version too
  };
  for (const auto& [a, b] : kEqual) {
    EXPECT_EQ(compareVersions(QString::fromUtf8(a), QString::fromUtf8(b)), 0) << a << " vs " << b;
    EXPECT_EQ(compareVersions(QString::fromUtf8(b), QString::fromUtf8(a)), 0) << b << " vs " << a;
  }
}

TEST(VersionComparison, LeadingDashIsPartOfTheVersion) {
  // Only a "-" after the first character starts an ignored suffix.
  EXPECT_NE(compareVersions(QStringLiteral("-1"), QStringLiteral("1")), 0);
  EXPECT_EQ(compareVersions(QStringLiteral("-1"), QStringLiteral("-1-x")), 0);
}

// Random strings over a small alphabet that exercises every kind of run: the answer must be
// antisymmetric and a version must equal itself.
TEST(VersionComparison, AntisymmetricOnRandomInput) {
  const QString alphabet = QStringLiteral("0123456789..-ab B()_");
  QRandomGenerator rng(20261207);
  auto randomVersion = [&] {
    QString s;
    const int length = rng.bounded(10);
    for (int i = 0; i < length; ++i) s.append(alphabet[rng.bounded(alphabet.size())]);
    return s;
  };
  for (int i = 0; i < 20000; ++i) {
    const QString a = randomVersion();
    const QString b = randomVersion();
    ASSERT_EQ(sign(compareVersions(a, b)), -sign(compareVersions(b, a))) << a.toStdString() << " | " << b.toStdString();
    ASSERT_EQ(compareVersions(a, a), 0) << a.toStdString();
  }
}

}  // namespace
}  // namespace updater
