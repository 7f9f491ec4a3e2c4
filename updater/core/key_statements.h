// What a signed feed says about keys and about its own age, besides its items (docs/update-feeds.md):
//
//   <qf:serial>12</qf:serial>
//   <qf:key-statement number="3" key="NEW_KEY" signer="SIGNING_KEY" signature="SIGNATURE"/>
//
// both children of the channel, in the signed-feed namespace. A serial only ever grows from one
// publication of a feed to the next; a statement says "from statement number N on, the signing
// key is K" and carries its own Ed25519 signature, so it can be checked on its own, before the
// feed's signature (which the key it names may be needed for).
#pragma once

#include "updater/core/ed25519_signing.h"
#include "updater/core/result.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

namespace updater {

// Numbers and serials are kept as property-list integers: none may pass this.
inline constexpr std::uint64_t kMaxStatementNumber = 0x7fffffffffffffffULL;

struct KeyStatement {
  std::uint64_t number = 0;  // 1 or more
  PublicKey key;             // the signing key from this statement on
  PublicKey signer;          // the key that signed the statement
  QString signatureBase64;   // over keyStatementMessage(number, key)
};

struct FeedTrustElements {
  std::uint64_t serial = 0;  // 0 when the feed carries none
  std::vector<KeyStatement> statements;  // in document order
  QStringList unreadable;    // one sentence per statement that could not be read (and is ignored)
};

// Reads the serial and the statements of the feed's channel. A feed that is not well-formed XML,
// has a DTD, more than one serial, or a serial that is not a whole number from 0 to
// kMaxStatementNumber is refused. A statement with a missing or malformed attribute is skipped
// with a sentence in `unreadable`.
Result<FeedTrustElements> readFeedTrustElements(const QByteArray& feed);

// The bytes a statement's signature covers; a fixed prefix keeps a statement's signature from
// ever passing for an archive's or a feed's.
QByteArray keyStatementMessage(std::uint64_t number, const PublicKey& key);

// The publisher's side.
KeyStatement makeKeyStatement(std::uint64_t number, const PublicKey& key, const KeyPair& signer);
QString keyStatementElement(const KeyStatement& statement, const QString& prefix);  // as written in a feed

}  // namespace updater
