// The key chain and feed serials on their own: feeds made here, checked as the agent checks them.
#include "updater/core/key_chain.h"

#include <gtest/gtest.h>

namespace updater {
namespace {

const QDateTime kNow(QDate(2026, 6, 1), QTime(0, 0), Qt::UTC);

struct Keys {
  KeyPair first = generateKeyPair();     // the bundle's SUPublicEDKey
  KeyPair second = generateKeyPair();
  KeyPair third = generateKeyPair();
  KeyPair recovery = generateKeyPair();  // in the bundle's QLRecoveryPublicEDKeys
  KeyPair stranger = generateKeyPair();
};

// A signed feed with one item, the given serial (none when negative) and statements.
QByteArray feed(const KeyPair& signer, long long serial, const std::vector<KeyStatement>& statements = {}) {
  QString channel = QStringLiteral("<title>Updates</title><qf:expires>2027-01-01T00:00:00Z</qf:expires>\n");
  if (serial >= 0) channel += QStringLiteral("<qf:serial>%1</qf:serial>\n").arg(serial);
  for (const KeyStatement& statement : statements) channel += keyStatementElement(statement, QStringLiteral("qf")) + u'\n';
  const QString text = QStringLiteral(
      "<?xml version=\"1.0\"?>\n<rss version=\"2.0\" xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\" "
      "xmlns:qf=\"urn:quillane:xml-namespaces:signed-feed\"><channel>%1<item><sparkle:version>2.0</sparkle:version>"
      "<enclosure url=\"https://example.com/2.0.zip\" length=\"10\" sparkle:edSignature=\"AAAA\"/></item></channel></rss>\n")
                           .arg(channel);
  return signFeed(text.toUtf8(), signer);
}

FeedTrustInput startingFrom(const Keys& keys, std::uint64_t lastSerial = 0) {
  FeedTrustInput input;
  input.chain = KeyChainState{keys.first.publicKey, 0, {}};
  input.recoveryKeys = {keys.recovery.publicKey};
  input.lastSerial = lastSerial;
  input.requireSignedFeed = true;
  input.now = kNow;
  return input;
}

TEST(KeyChainTest, AFeedOlderThanOneAlreadySeenIsRefusedAndTheNewestAccepted) {
  const Keys keys;
  Result<TrustedFeed> older = checkFeedAgainstKeyChain(feed(keys.first, 6), startingFrom(keys, 7));
  ASSERT_FALSE(older);
  EXPECT_EQ(older.error().message, QStringLiteral("The update feed (serial 6) is older than a feed already seen (serial 7)."));
  Result<TrustedFeed> same = checkFeedAgainstKeyChain(feed(keys.first, 7), startingFrom(keys, 7));
  ASSERT_TRUE(same) << same.error().message.toStdString();
  EXPECT_EQ(same->serial, 7u);
  Result<TrustedFeed> newer = checkFeedAgainstKeyChain(feed(keys.first, 8), startingFrom(keys, 7));
  ASSERT_TRUE(newer);
  EXPECT_EQ(newer->serial, 8u);
  // A feed from before serials counts as serial 0.
  EXPECT_TRUE(checkFeedAgainstKeyChain(feed(keys.first, -1), startingFrom(keys, 0)));
  EXPECT_FALSE(checkFeedAgainstKeyChain(feed(keys.first, -1), startingFrom(keys, 1)));
}

TEST(KeyChainTest, StatementsMoveTheKeyInOrderAndAReplacedKeyIsRefusedForGood) {
  const Keys keys;
  // Written out of order: applied by number. 1 is routine, 2 a recovery after a leak of the second key.
  const std::vector<KeyStatement> statements = {makeKeyStatement(2, keys.third.publicKey, keys.recovery),
                                                makeKeyStatement(1, keys.second.publicKey, keys.first)};
  Result<TrustedFeed> trusted = checkFeedAgainstKeyChain(feed(keys.third, 3, statements), startingFrom(keys));
  ASSERT_TRUE(trusted) << trusted.error().message.toStdString();
  EXPECT_TRUE(trusted->chain.keyInForce == keys.third.publicKey);
  EXPECT_EQ(trusted->chain.statementNumber, 2u);
  EXPECT_EQ(trusted->chain.replacedKeys, (std::vector<PublicKey>{keys.first.publicKey, keys.second.publicKey}));
  EXPECT_TRUE(trusted->log.isEmpty()) << trusted->log.join(u'\n').toStdString();

  // Whoever holds the leaked second key: its feed, and its statement, get nowhere.
  FeedTrustInput after = startingFrom(keys, 3);
  after.chain = trusted->chain;
  Result<TrustedFeed> leaked = checkFeedAgainstKeyChain(feed(keys.second, 9, statements), after);
  ASSERT_FALSE(leaked);
  EXPECT_TRUE(leaked.error().message.contains(QStringLiteral("signed by a replaced key"))) << leaked.error().message.toStdString();
  const std::vector<KeyStatement> comeback = {makeKeyStatement(3, keys.second.publicKey, keys.third)};
  Result<TrustedFeed> back = checkFeedAgainstKeyChain(feed(keys.third, 4, comeback), after);
  ASSERT_TRUE(back);
  EXPECT_TRUE(back->chain == trusted->chain);
  EXPECT_TRUE(back->log.value(0).contains(QStringLiteral("a replaced key"))) << back->log.join(u'\n').toStdString();
}

TEST(KeyChainTest, StatementsByUnknownKeysOrWithNumbersGoneByAreIgnored) {
  const Keys keys;
  FeedTrustInput input = startingFrom(keys);
  input.chain.statementNumber = 5;
  KeyStatement forged = makeKeyStatement(7, keys.stranger.publicKey, keys.first);
  forged.signatureBase64 = makeKeyStatement(7, keys.second.publicKey, keys.first).signatureBase64;  // signs another key
  const std::vector<KeyStatement> statements = {
      makeKeyStatement(6, keys.stranger.publicKey, keys.stranger),  // signer neither in force nor recovery
      forged,
      makeKeyStatement(5, keys.second.publicKey, keys.first),       // a number already passed
      makeKeyStatement(4, keys.second.publicKey, keys.recovery)};
  Result<TrustedFeed> trusted = checkFeedAgainstKeyChain(feed(keys.first, 1, statements), input);
  ASSERT_TRUE(trusted) << trusted.error().message.toStdString();
  EXPECT_TRUE(trusted->chain == input.chain);
  ASSERT_EQ(trusted->log.size(), 2) << trusted->log.join(u'\n').toStdString();
  EXPECT_TRUE(trusted->log[0].startsWith(QStringLiteral("key statement 6 is ignored: it is signed by ")));
  EXPECT_EQ(trusted->log[1], QStringLiteral("key statement 7 is ignored: its signature is not valid"));
  // The feed itself must still be the key in force's.
  EXPECT_FALSE(checkFeedAgainstKeyChain(feed(keys.stranger, 1, statements), input));
}

TEST(KeyChainTest, UnreadableStatementsAreSkippedAndABadSerialRefusesTheFeed) {
  const Keys keys;
  QByteArray text = feed(keys.first, 1);
  text.replace("<qf:serial>1</qf:serial>", "<qf:serial>1</qf:serial><qf:key-statement number=\"x\" key=\"y\"/>");
  Result<FeedTrustElements> elements = readFeedTrustElements(splitSignedFeed(text)->signedBytes);
  ASSERT_TRUE(elements);
  EXPECT_EQ(elements->statements.size(), 0u);
  EXPECT_EQ(elements->unreadable.size(), 1);
  for (const char* serial : {"-1", "9223372036854775808", "1x", ""}) {
    QByteArray bad = feed(keys.first, 1);
    bad.replace("<qf:serial>1<", QByteArray("<qf:serial>") + serial + '<');
    EXPECT_FALSE(readFeedTrustElements(bad)) << serial;
  }
}

}  // namespace
}  // namespace updater
