#include "updater/core/key_chain.h"

#include <algorithm>

namespace updater {

bool operator==(const PublicKey& a, const PublicKey& b) { return a.bytes == b.bytes; }

bool operator==(const KeyChainState& a, const KeyChainState& b) {
  return a.keyInForce == b.keyInForce && a.statementNumber == b.statementNumber && a.replacedKeys == b.replacedKeys;
}

bool KeyChainState::isReplaced(const PublicKey& key) const {
  return std::find(replacedKeys.begin(), replacedKeys.end(), key) != replacedKeys.end();
}

KeyChainState applyKeyStatements(KeyChainState state, std::vector<KeyStatement> statements,
                                 const std::vector<PublicKey>& recoveryKeys, QStringList& log) {
  std::stable_sort(statements.begin(), statements.end(),
                   [](const KeyStatement& a, const KeyStatement& b) { return a.number < b.number; });
  for (const KeyStatement& statement : statements) {
    if (statement.number <= state.statementNumber) continue;  // applied in an earlier feed, or passed
    const bool byKeyInForce = statement.signer == state.keyInForce;
    const bool byRecoveryKey = std::find(recoveryKeys.begin(), recoveryKeys.end(), statement.signer) != recoveryKeys.end();
    if (!byKeyInForce && !byRecoveryKey) {
      log << QStringLiteral("key statement %1 is ignored: it is signed by %2, neither the key in force nor a recovery key")
                 .arg(quint64(statement.number))
                 .arg(encodePublicKey(statement.signer));
      continue;
    }
    if (Status verified = verifySignature(keyStatementMessage(statement.number, statement.key), statement.signatureBase64, statement.signer);
        !verified) {
      log << QStringLiteral("key statement %1 is ignored: its signature is not valid").arg(quint64(statement.number));
      continue;
    }
    if (state.isReplaced(statement.key)) {
      log << QStringLiteral("key statement %1 is ignored: it names %2, a replaced key")
                 .arg(quint64(statement.number))
                 .arg(encodePublicKey(statement.key));
      continue;
    }
    if (!(statement.key == state.keyInForce)) state.replacedKeys.push_back(state.keyInForce);
    state.keyInForce = statement.key;
    state.statementNumber = statement.number;
  }
  return state;
}

Result<TrustedFeed> checkFeedAgainstKeyChain(const QByteArray& document, const FeedTrustInput& input) {
  if (document.size() > kMaxFeedBytes) return parseAppcast(document).error();  // the size refusal
  QByteArray content = document;
  std::optional<SignedFeedParts> parts;
  if (input.requireSignedFeed) {
    Result<SignedFeedParts> split = splitSignedFeed(document);
    if (!split) return split.error();
    parts = *split;
    content = parts->signedBytes;  // only what the signature covers is read
  }
  Result<FeedTrustElements> elements = readFeedTrustElements(content);
  if (!elements) return elements.error();
  TrustedFeed trusted;
  trusted.log = elements->unreadable;
  trusted.chain = applyKeyStatements(input.chain, elements->statements, input.recoveryKeys, trusted.log);
  if (!input.requireSignedFeed) {
    Result<Appcast> appcast = parseAppcast(document);
    if (!appcast) return appcast.error();
    trusted.appcast = std::move(appcast).value();
    return trusted;
  }

  const PublicKey& key = trusted.chain.keyInForce;
  if (Status verified = verifySignature(parts->signedBytes, parts->signatureBase64, key); !verified) {
    for (const PublicKey& replaced : trusted.chain.replacedKeys) {
      if (verifySignature(parts->signedBytes, parts->signatureBase64, replaced)) {
        return makeError(QStringLiteral("The update feed is signed by a replaced key (%1); the key in force is %2.")
                             .arg(encodePublicKey(replaced), encodePublicKey(key)));
      }
    }
    return makeError(QStringLiteral("The update feed's signature is not valid: %1").arg(verified.error().message));
  }
  Result<Appcast> appcast = parseAppcast(parts->signedBytes);
  if (!appcast) return appcast.error();
  if (!appcast->expiresAt) return makeError(QStringLiteral("The signed update feed has no expiry date."));
  const QDateTime now = input.now.isValid() ? input.now : QDateTime::currentDateTimeUtc();
  if (*appcast->expiresAt <= now) {
    return makeError(QStringLiteral("The update feed expired on %1.").arg(appcast->expiresAt->toString(Qt::ISODate)));
  }
  if (elements->serial < input.lastSerial) {
    return makeError(QStringLiteral("The update feed (serial %1) is older than a feed already seen (serial %2).")
                         .arg(quint64(elements->serial))
                         .arg(quint64(input.lastSerial)));
  }
  trusted.appcast = std::move(appcast).value();
  trusted.serial = elements->serial;
  return trusted;
}

Status checkNewBundleKey(const QString& newBundleKey, const PublicKey& keyInForce) {
  Result<PublicKey> key = decodePublicKey(newBundleKey);
  if (!key) return makeError(QStringLiteral("The update names no valid SUPublicEDKey: %1").arg(key.error().message));
  if (!(*key == keyInForce)) {
    return makeError(QStringLiteral("The update's SUPublicEDKey %1 is not the key in force, %2.")
                         .arg(newBundleKey.trimmed(), encodePublicKey(keyInForce)));
  }
  return Status::ok();
}

}  // namespace updater
