#include "updater/core/signed_feed.h"

#include <gtest/gtest.h>

namespace updater {
namespace {

const QDateTime kNow(QDate(2026, 12, 7), QTime(12, 0), Qt::UTC);

QByteArray feedExpiring(const QString& when) {
  return QStringLiteral(R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle" xmlns:qf="urn:quillane:xml-namespaces:signed-feed">
  <channel>
    <title>Quillane</title>
    %1
    <item><sparkle:version>2.0</sparkle:version><enclosure url="https://u/2.0.zip" length="10"/></item>
  </channel>
</rss>
)")
      .arg(when.isEmpty() ? QString() : QStringLiteral("<qf:expires>%1</qf:expires>").arg(when))
      .toUtf8();
}

class SignedFeedTest : public ::testing::Test {
 protected:
  KeyPair pair = generateKeyPair();
  FeedPolicy required() const { return FeedPolicy{true, pair.publicKey, kNow}; }
  QByteArray signedFeed(const QString& expiry = QStringLiteral("2026-12-31T00:00:00Z")) const {
    return signFeed(feedExpiring(expiry), pair);
  }
};

TEST_F(SignedFeedTest, AcceptsAFreshCorrectlySignedFeed) {
  Result<Appcast> appcast = readFeed(signedFeed(), required());
  ASSERT_TRUE(appcast) << appcast.error().message.toStdString();
  ASSERT_EQ(appcast->items.size(), 1u);
  EXPECT_EQ(appcast->items[0].versionString, u"2.0");
}

TEST_F(SignedFeedTest, ResigningReplacesTheOldSignature) {
  const QByteArray twice = signFeed(signedFeed(), pair);
  EXPECT_EQ(twice.count("quillane-feed-signature"), 1);
  EXPECT_TRUE(readFeed(twice, required()));
}

TEST_F(SignedFeedTest, RefusesEveryFeedItCannotTrust) {
  const QByteArray good = signedFeed();
  QByteArray tampered = good;
  tampered.replace("2.0.zip", "2.1.zip");
  QByteArray laterExpiry = good;
  laterExpiry.replace("2026-12-31", "2099-12-31");
  QByteArray trailing = good + "<!-- more -->\n";
  QByteArray signatureMangled = good;
  signatureMangled.replace("quillane-feed-signature: ", "quillane-feed-signature: AAAA");
  const KeyPair other = generateKeyPair();

  const std::pair<const char*, QByteArray> cases[] = {
      {"unsigned", feedExpiring(QStringLiteral("2026-12-31T00:00:00Z"))},
      {"content changed", tampered},
      {"expiry pushed back", laterExpiry},
      {"something after the signature", trailing},
      {"signature mangled", signatureMangled},
      {"signed by another key", signFeed(feedExpiring(QStringLiteral("2026-12-31T00:00:00Z")), other)},
      {"expired", signedFeed(QStringLiteral("2026-12-01T00:00:00Z"))},
      {"expiring this very instant", signedFeed(QStringLiteral("2026-12-07T12:00:00Z"))},
      {"no expiry", signedFeed(QString())},
      {"empty signature", feedExpiring(QStringLiteral("2026-12-31T00:00:00Z")) + "<!-- quillane-feed-signature: -->"},
  };
  for (const auto& [name, document] : cases) {
    Result<Appcast> appcast = readFeed(document, required());
    EXPECT_FALSE(appcast) << name;
  }
}

TEST_F(SignedFeedTest, RefusesWhenRequiredButNoKeyIsSet) {
  FeedPolicy policy = required();
  policy.publicKey.reset();
  EXPECT_FALSE(readFeed(signedFeed(), policy));
}

TEST_F(SignedFeedTest, WithoutTheRequirementTheSignatureIsNotConsulted) {
  const FeedPolicy relaxed{false, std::nullopt, kNow};
  EXPECT_TRUE(readFeed(feedExpiring(QString()), relaxed));
  EXPECT_TRUE(readFeed(signedFeed(QStringLiteral("2000-01-01T00:00:00Z")), relaxed));
}

TEST(SignedFeedSplit, FindsTheSignedBytesExactly) {
  const QByteArray body = "<rss><channel/></rss>\n";
  Result<SignedFeedParts> parts = splitSignedFeed(body + "<!-- quillane-feed-signature: QUJD -->\n\n  ");
  ASSERT_TRUE(parts);
  EXPECT_EQ(parts->signedBytes, body);
  EXPECT_EQ(parts->signatureBase64, u"QUJD");
  EXPECT_FALSE(splitSignedFeed(body));
  EXPECT_FALSE(splitSignedFeed(body + "<!-- some other comment -->"));
  EXPECT_FALSE(splitSignedFeed("-->"));
  // Opening and closing marks that overlap are no comment (found by fuzzing: this read out of bounds).
  EXPECT_FALSE(splitSignedFeed("<ep>\n<!ep>\n<!-->\n"));
  EXPECT_FALSE(splitSignedFeed("<!--->"));
  EXPECT_FALSE(splitSignedFeed("<rss/><!---->"));
}

}  // namespace
}  // namespace updater
