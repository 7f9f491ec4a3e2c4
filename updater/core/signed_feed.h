// Signed feeds: a feed that carries an Ed25519 signature over its bytes and an expiry date, so a
// tampered feed, or a stale one replayed to freeze users on an old version, can be refused.
//
// Layout (docs/update-feeds.md): the signature is a comment that ends the document,
//     <!-- quillane-feed-signature: BASE64 -->
// followed only by white space. It signs every byte before its "<!--". The expiry is an element
// of the channel in the kSignedFeedNamespace namespace, so it lies inside the signed bytes:
//     <qf:expires>2027-03-01T00:00:00Z</qf:expires>
#pragma once

#include "updater/core/appcast.h"
#include "updater/core/ed25519_signing.h"
#include "updater/core/result.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

namespace updater {

inline constexpr char kFeedSignatureMarker[] = "quillane-feed-signature:";

// How a feed must be checked: from the installed bundle's Info.plist.
struct FeedPolicy {
  bool requireSignedFeed = false;      // SURequireSignedFeed
  std::optional<PublicKey> publicKey;  // SUPublicEDKey; required when requireSignedFeed is set
  QDateTime now;                       // the current time (a parameter so tests can set it)
};

// Checks and parses a downloaded feed. Without requireSignedFeed it is parseAppcast(document)
// (a signature, if present, is not looked at). With it, the feed is refused, with a reason, when
// there is no key, no signature comment, a malformed or wrong signature, no expiry, or an expiry
// at or before policy.now; only the signed bytes are parsed.
Result<Appcast> readFeed(const QByteArray& document, const FeedPolicy& policy);

// Splits a document into its signed bytes and its signature (base64, as written), or an error
// when it does not end with a signature comment.
struct SignedFeedParts {
  QByteArray signedBytes;
  QString signatureBase64;
};
Result<SignedFeedParts> splitSignedFeed(const QByteArray& document);

// The publisher's side: drops any signature comment, then appends a fresh one over the rest.
QByteArray signFeed(const QByteArray& document, const KeyPair& pair);

}  // namespace updater
