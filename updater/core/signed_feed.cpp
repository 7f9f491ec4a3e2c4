#include "updater/core/signed_feed.h"

namespace updater {
namespace {

const QByteArray kCommentOpen = QByteArrayLiteral("<!--");
const QByteArray kCommentClose = QByteArrayLiteral("-->");

bool isXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

Result<SignedFeedParts> splitSignedFeed(const QByteArray& document) {
  qsizetype end = document.size();
  while (end > 0 && isXmlSpace(document[end - 1])) --end;
  const QByteArrayView body(document.constData(), end);
  if (!body.endsWith(kCommentClose)) return makeError(QStringLiteral("The update feed is not signed."));
  const qsizetype open = body.lastIndexOf(kCommentOpen);
  // "<!-->" ends with "-->" too: the opening and closing marks must not overlap.
  if (open < 0 || open + kCommentOpen.size() > end - kCommentClose.size()) {
    return makeError(QStringLiteral("The update feed is not signed."));
  }
  const QByteArray comment =
      body.sliced(open + kCommentOpen.size(), end - open - kCommentOpen.size() - kCommentClose.size()).toByteArray().trimmed();
  if (!comment.startsWith(kFeedSignatureMarker)) return makeError(QStringLiteral("The update feed is not signed."));
  const QByteArray signature = comment.mid(qsizetype(sizeof kFeedSignatureMarker) - 1).trimmed();
  if (signature.isEmpty()) return makeError(QStringLiteral("The update feed's signature is empty."));
  return SignedFeedParts{document.left(open), QString::fromLatin1(signature)};
}

Result<Appcast> readFeed(const QByteArray& document, const FeedPolicy& policy) {
  if (!policy.requireSignedFeed) return parseAppcast(document);

  if (!policy.publicKey) {
    return makeError(QStringLiteral("The update feed must be signed, but no public key (SUPublicEDKey) is set."));
  }
  if (document.size() > kMaxFeedBytes) return parseAppcast(document);  // the size refusal
  Result<SignedFeedParts> parts = splitSignedFeed(document);
  if (!parts) return parts.error();
  if (Status verified = verifySignature(parts->signedBytes, parts->signatureBase64, *policy.publicKey); !verified) {
    return makeError(QStringLiteral("The update feed's signature is not valid: %1").arg(verified.error().message));
  }
  // Only what the signature covers is read.
  Result<Appcast> appcast = parseAppcast(parts->signedBytes);
  if (!appcast) return appcast;
  if (!appcast->expiresAt) return makeError(QStringLiteral("The signed update feed has no expiry date."));
  const QDateTime now = policy.now.isValid() ? policy.now : QDateTime::currentDateTimeUtc();
  if (*appcast->expiresAt <= now) {
    return makeError(QStringLiteral("The update feed expired on %1.").arg(appcast->expiresAt->toString(Qt::ISODate)));
  }
  return appcast;
}

QByteArray signFeed(const QByteArray& document, const KeyPair& pair) {
  Result<SignedFeedParts> parts = splitSignedFeed(document);
  QByteArray signedBytes = parts ? parts->signedBytes : document;
  if (!signedBytes.endsWith('\n')) signedBytes.append('\n');
  const QString signature = signBytes(signedBytes, pair);
  return signedBytes + kCommentOpen + ' ' + kFeedSignatureMarker + ' ' + signature.toLatin1() + ' ' + kCommentClose + '\n';
}

}  // namespace updater
