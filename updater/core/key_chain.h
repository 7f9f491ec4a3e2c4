// The chain of signing keys an installation trusts, and the check of a downloaded feed against
// it (docs/update-feeds.md). An installation starts from its bundle's SUPublicEDKey; key
// statements in signed feeds move it on, each signed by the key in force or by one of the
// recovery keys in the bundle's Info.plist. Every key that was once in force and was replaced
// stays refused for good, and the feed's serial never goes back.
#pragma once

#include "updater/core/appcast.h"
#include "updater/core/ed25519_signing.h"
#include "updater/core/key_statements.h"
#include "updater/core/result.h"
#include "updater/core/signed_feed.h"

#include <QDateTime>
#include <QStringList>

#include <cstdint>
#include <vector>

namespace updater {

struct KeyChainState {
  PublicKey keyInForce;
  std::uint64_t statementNumber = 0;   // the last statement applied; 0: none yet
  std::vector<PublicKey> replacedKeys;  // every earlier key in force, oldest first

  bool isReplaced(const PublicKey& key) const;
  friend bool operator==(const KeyChainState&, const KeyChainState&);
};

bool operator==(const PublicKey& a, const PublicKey& b);

// Applies, in order of number, every statement numbered above state.statementNumber whose
// signature verifies with the key in force at that point or with a recovery key. Statements
// that do not apply are skipped with a sentence in `log` (unknown signer, bad signature, a
// replaced key named again, a number already passed); the number never goes back.
KeyChainState applyKeyStatements(KeyChainState state, std::vector<KeyStatement> statements,
                                 const std::vector<PublicKey>& recoveryKeys, QStringList& log);

// What this installation has recorded for a feed, and what it knows from its bundle.
struct FeedTrustInput {
  KeyChainState chain;
  std::vector<PublicKey> recoveryKeys;
  std::uint64_t lastSerial = 0;  // the highest serial accepted from this feed's address
  bool requireSignedFeed = false;
  QDateTime now;
};

struct TrustedFeed {
  Appcast appcast;
  KeyChainState chain;       // after the feed's statements
  std::uint64_t serial = 0;  // the feed's (0 for a feed not checked as signed)
  QStringList log;           // statements skipped, and why
};

// Checks a downloaded feed: applies its statements, then, when the feed must be signed, checks
// its signature against the key in force (a signature by a replaced key is refused as such),
// its expiry, and its serial against input.lastSerial (a lower one is refused as older than a
// feed already seen). A feed that need not be signed is parsed as it is; its statements, which
// carry their own signatures, still apply. Nothing is recorded here: the caller records the
// result's chain and serial before trusting them.
Result<TrustedFeed> checkFeedAgainstKeyChain(const QByteArray& document, const FeedTrustInput& input);

// The new bundle must name the key in force as its SUPublicEDKey, so that what is installed and
// what is recorded agree.
Status checkNewBundleKey(const QString& newBundleKey, const PublicKey& keyInForce);

}  // namespace updater
