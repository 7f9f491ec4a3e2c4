#include "tools/update-publisher/feed_keys.h"

#include "tools/update-publisher/feed_editor.h"
#include "updater/core/key_statements.h"
#include "updater/core/signed_feed.h"

#include <algorithm>

namespace publisher {
namespace {

using updater::makeError;
using updater::PublicKey;
using updater::Result;

bool sameKey(const PublicKey& a, const PublicKey& b) { return a.bytes == b.bytes; }

// What the feed carries, read from its signed part (or the whole of an unsigned one).
Result<updater::FeedTrustElements> trustElements(const QByteArray& feed) {
  Result<updater::SignedFeedParts> parts = updater::splitSignedFeed(feed);
  return updater::readFeedTrustElements(parts ? parts->signedBytes : feed);
}

std::vector<updater::KeyStatement> inOrder(std::vector<updater::KeyStatement> statements) {
  std::stable_sort(statements.begin(), statements.end(),
                   [](const updater::KeyStatement& a, const updater::KeyStatement& b) { return a.number < b.number; });
  return statements;
}

}  // namespace

Result<std::optional<PublicKey>> feedKeyInForce(const QByteArray& feed) {
  Result<updater::FeedTrustElements> elements = trustElements(feed);
  if (!elements) return elements.error();
  if (elements->statements.empty()) return std::optional<PublicKey>();
  return std::optional<PublicKey>(inOrder(elements->statements).back().key);
}

Result<QByteArray> signFeedForward(const QByteArray& feed, const updater::KeyPair& pair, const QDateTime& expiresAt) {
  Result<updater::FeedTrustElements> elements = trustElements(feed);
  if (!elements) return elements.error();
  if (!elements->statements.empty()) {
    const updater::KeyStatement last = inOrder(elements->statements).back();
    if (!sameKey(last.key, pair.publicKey)) {
      return makeError(QStringLiteral("The feed's key in force is %1 (key statement %2), not %3: sign with that key.")
                           .arg(updater::encodePublicKey(last.key))
                           .arg(quint64(last.number))
                           .arg(updater::encodePublicKey(pair.publicKey)));
    }
  }
  if (elements->serial >= updater::kMaxStatementNumber) return makeError(QStringLiteral("The feed's serial cannot grow any more."));
  Result<QByteArray> withSerial = setFeedSerial(feed, elements->serial + 1);
  if (!withSerial) return withSerial.error();
  Result<QByteArray> withExpiry = setFeedExpiry(*withSerial, expiresAt);
  if (!withExpiry) return withExpiry.error();
  return updater::signFeed(*withExpiry, pair);
}

Result<RotatedFeed> rotateFeedKey(const QByteArray& feed, const updater::KeyPair& signer, const updater::KeyPair& newKey,
                                  const QDateTime& expiresAt, std::optional<std::uint64_t> chosenNumber) {
  Result<updater::FeedTrustElements> elements = trustElements(feed);
  if (!elements) return elements.error();
  if (sameKey(signer.publicKey, newKey.publicKey)) return makeError(QStringLiteral("The new key is the key that signs the statement."));
  std::uint64_t number = 1;
  std::optional<PublicKey> inForce;
  for (const updater::KeyStatement& statement : inOrder(elements->statements)) {
    if (sameKey(statement.key, newKey.publicKey) || sameKey(statement.signer, newKey.publicKey)) {
      return makeError(QStringLiteral("The new key %1 was already in the feed's key chain (statement %2): use a fresh key.")
                           .arg(updater::encodePublicKey(newKey.publicKey))
                           .arg(quint64(statement.number)));
    }
    number = statement.number + 1;
    inForce = statement.key;
  }
  if (chosenNumber) {
    if (*chosenNumber < number) {
      return makeError(QStringLiteral("The statement number must be above the feed's highest, %1.").arg(quint64(number - 1)));
    }
    number = *chosenNumber;
  }
  if (number > updater::kMaxStatementNumber) return makeError(QStringLiteral("The feed's statement numbers cannot grow any more."));
  Result<QByteArray> withStatement = addKeyStatement(feed, updater::makeKeyStatement(number, newKey.publicKey, signer));
  if (!withStatement) return withStatement.error();
  Result<QByteArray> signedFeed = signFeedForward(*withStatement, newKey, expiresAt);
  if (!signedFeed) return signedFeed.error();
  return RotatedFeed{*signedFeed, number, inForce && sameKey(*inForce, signer.publicKey), !inForce};
}

QStringList keyChainReport(const QByteArray& feed, const updater::Appcast& parsed) {
  QStringList lines;
  Result<updater::FeedTrustElements> elements = trustElements(feed);
  if (!elements) return {QStringLiteral("error: %1").arg(elements.error().message)};
  lines << QStringLiteral("Feed serial: %1").arg(quint64(elements->serial));
  for (const QString& unreadable : elements->unreadable) lines << QStringLiteral("error: %1").arg(unreadable);
  std::optional<PublicKey> inForce;
  const std::vector<updater::KeyStatement> statements = inOrder(elements->statements);
  if (statements.empty()) lines << QStringLiteral("Key chain: no key statements; the plug-ins' SUPublicEDKey signs everything");
  else lines << QStringLiteral("Key chain, starting from the plug-ins' SUPublicEDKey:");
  for (const updater::KeyStatement& statement : statements) {
    const bool valid = bool(updater::verifySignature(updater::keyStatementMessage(statement.number, statement.key),
                                                     statement.signatureBase64, statement.signer));
    QString by = inForce && sameKey(*inForce, statement.signer) ? QStringLiteral("the key before it")
                 : inForce ? QStringLiteral("another key: agents apply it only if that is one of the plug-in's recovery keys")
                           : QStringLiteral("the SUPublicEDKey of the plug-ins or one of their recovery keys");
    lines << QStringLiteral("  statement %1: signing key %2, signed by %3 (%4)")
                 .arg(quint64(statement.number))
                 .arg(updater::encodePublicKey(statement.key), updater::encodePublicKey(statement.signer), by);
    if (!valid) lines << QStringLiteral("error: key statement %1's signature is not valid: agents ignore it").arg(quint64(statement.number));
    inForce = statement.key;
  }
  const QString needed = inForce ? updater::encodePublicKey(*inForce) : QStringLiteral("the plug-ins' SUPublicEDKey");
  if (inForce) lines << QStringLiteral("Key in force: %1 (the SUPublicEDKey of every release from now on)").arg(needed);
  if (Result<updater::SignedFeedParts> parts = updater::splitSignedFeed(feed); !parts) {
    lines << QStringLiteral("Feed signature: none (the feed is not signed)");
  } else if (inForce) {
    const bool valid = bool(updater::verifySignature(parts->signedBytes, parts->signatureBase64, *inForce));
    lines << (valid ? QStringLiteral("Feed signature: by the key in force")
                    : QStringLiteral("error: the feed's signature is not by the key in force: agents that applied the chain refuse it"));
  }
  for (const updater::AppcastItem& item : parsed.items) {
    if (item.isInformationalUpdate && item.fileURL.isEmpty()) continue;
    lines << QStringLiteral("  %1: archive%2 must be signed by %3")
                 .arg(item.displayVersionString.isEmpty() ? item.versionString : item.displayVersionString,
                      item.deltas.empty() ? QString() : QStringLiteral(" and %1 delta(s)").arg(item.deltas.size()), needed);
  }
  return lines;
}

}  // namespace publisher
