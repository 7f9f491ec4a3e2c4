// Bundle identifiers as bus names: unchanged when possible, escaped one-to-one otherwise.
#include "ae/bus_name.h"

#include <gtest/gtest.h>

#include <QRandomGenerator>
#include <QRegularExpression>

#include <map>

namespace {

using ae::bundleIdentifierForBusName;
using ae::busNameForBundleIdentifier;

// The bus's rules for a well-known name, written out independently of the escaping.
bool isValidWellKnownName(const QString& name) {
  static const QRegularExpression element(QStringLiteral("^[A-Za-z_-][A-Za-z0-9_-]*$"));
  if (name.isEmpty() || name.size() > 255) return false;
  const QStringList elements = name.split(QLatin1Char('.'));
  if (elements.size() < 2) return false;
  for (const QString& e : elements) {
    if (!element.match(e).hasMatch()) return false;
  }
  return true;
}

TEST(BusName, ExamplesOfTheRule) {
  const std::map<QByteArray, QString> examples = {
      {"com.apple.mail", "com.apple.mail"},
      {"com.example.Quillane-Helper2", "com.example.Quillane-Helper2"},
      {"com.1password.app", "com._31password.app"},
      {"org.my_tool", "org.my_5ftool"},
      {"a..b", "a_2e.b"},
      {".a.b.", "_2ea.b_2e"},
      {"Mail", "_.Mail"},
      {"7", "_._37"},
      {"de.m\xC3\xBCller.app", "de.m_c3_bcller.app"},
      {QByteArray("a.b\0c", 5), "a.b_00c"},
  };
  for (const auto& [identifier, name] : examples) {
    EXPECT_EQ(busNameForBundleIdentifier(identifier), name) << identifier.constData();
    EXPECT_EQ(bundleIdentifierForBusName(name), identifier) << qPrintable(name);
  }
}

TEST(BusName, NoNameForTheEmptyOrTooLongIdentifier) {
  EXPECT_FALSE(busNameForBundleIdentifier(""));
  EXPECT_TRUE(busNameForBundleIdentifier("a." + QByteArray(253, 'x')));  // exactly 255
  EXPECT_FALSE(busNameForBundleIdentifier("a." + QByteArray(254, 'x')));
  EXPECT_FALSE(busNameForBundleIdentifier("a." + QByteArray(100, '_')));  // 302 once escaped
}

TEST(BusName, NamesTheRuleNeverMakesHaveNoIdentifier) {
  for (const char* name : {"com._", "com._4", "com._4A", "com._zz", "_.a.b", "com.", "_2e", "a.\xC3\xA9"}) {
    EXPECT_FALSE(bundleIdentifierForBusName(QString::fromUtf8(name))) << name;
  }
}

TEST(BusName, RandomIdentifiersRoundTripToDistinctValidNames) {
  auto* random = QRandomGenerator::global();
  const QByteArray alphabet("aZ09.-_\xC3\xA9 /\x01", 13);  // with the terminating zero byte
  std::map<QString, QByteArray> seen;
  for (int i = 0; i < 5000; ++i) {
    QByteArray identifier;
    const int length = random->bounded(1, 12);
    for (int j = 0; j < length; ++j) identifier += alphabet[random->bounded(alphabet.size())];
    const auto name = busNameForBundleIdentifier(identifier);
    ASSERT_TRUE(name) << identifier.toHex().constData();
    EXPECT_TRUE(isValidWellKnownName(*name)) << qPrintable(*name);
    EXPECT_EQ(bundleIdentifierForBusName(*name), identifier) << qPrintable(*name);
    const auto [it, inserted] = seen.emplace(*name, identifier);
    EXPECT_TRUE(inserted || it->second == identifier) << "two identifiers share " << qPrintable(*name);
  }
}

}  // namespace
