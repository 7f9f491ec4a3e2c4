// The publisher's side of the key chain and of serials (docs/update-feeds.md): signing a feed so
// that it moves forward, rotating its signing key, and describing the chain a feed carries.
#pragma once

#include "updater/core/appcast.h"
#include "updater/core/ed25519_signing.h"
#include "updater/core/result.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

namespace publisher {

// The feed's key in force according to its own statements: the key of its highest-numbered
// statement; nothing when it has none (the key is then the plug-ins' SUPublicEDKey).
updater::Result<std::optional<updater::PublicKey>> feedKeyInForce(const QByteArray& feed);

// Sets the feed's serial to one more than it had (0 when it had none), its expiry, and signs it
// with pair. Refused when pair is not the key in force of the feed's statements: agents that
// applied them would refuse the feed.
updater::Result<QByteArray> signFeedForward(const QByteArray& feed, const updater::KeyPair& pair, const QDateTime& expiresAt);

struct RotatedFeed {
  QByteArray feed;
  std::uint64_t number = 0;  // the new statement's
  bool bySigningKey = false;  // signed by the feed's key in force (a routine rotation)
  bool first = false;         // the feed's first statement: its key in force is not known here
};

// Appends the statement "from number N on, the signing key is newKey" (N one more than the
// feed's highest, or `number` when given: after a leak, well above anything the thief may have
// published), signed by signer (the key in force, or a recovery key), then signs the feed
// forward with newKey. Refused: newKey already named by a statement of the feed or equal to
// signer, a number not above the feed's highest.
updater::Result<RotatedFeed> rotateFeedKey(const QByteArray& feed, const updater::KeyPair& signer,
                                           const updater::KeyPair& newKey, const QDateTime& expiresAt,
                                           std::optional<std::uint64_t> number = std::nullopt);

// The serial, the chain of keys the statements make (each statement: its key, its signer, whether
// its signature is valid, whether the signer was the key before it), the key in force and what
// it must sign, and whether the feed's signature is the key in force's. Lines, for lint.
QStringList keyChainReport(const QByteArray& feed, const updater::Appcast& parsed);

}  // namespace publisher
