// Key statements and serials arrive inside feeds from the network: reading them must survive any
// bytes, and applying them must keep the chain's rules whatever their order, numbers, signers and
// keys. Statements signed by one of the three keys below are re-signed (as the input's first
// byte chooses) so that the chain logic past the signature check is reached, not only refusals.
#include "updater/core/key_chain.h"
#include "updater/core/key_statements.h"
#include "updater/core/signed_feed.h"

#include <sodium.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

using updater::KeyChainState;
using updater::KeyPair;
using updater::PublicKey;

// 0: the installation's SUPublicEDKey, 1: its recovery key, 2: a third key. Private key files of
// these (base64 of 32 bytes of 1, 2 and 3) make the seeds (make_key_statement_seeds.sh).
const std::array<KeyPair, 3>& keys() {
  static const std::array<KeyPair, 3> pairs = [] {
    if (sodium_init() < 0) std::abort();
    std::array<KeyPair, 3> made;
    for (int i = 0; i < 3; ++i) {
      unsigned char seed[crypto_sign_SEEDBYTES];
      std::fill(std::begin(seed), std::end(seed), static_cast<unsigned char>(i + 1));
      made[i].secretKey.resize(crypto_sign_SECRETKEYBYTES);
      crypto_sign_seed_keypair(made[i].publicKey.bytes.data(), reinterpret_cast<unsigned char*>(made[i].secretKey.data()), seed);
    }
    return made;
  }();
  return pairs;
}

[[noreturn]] void broken(const char* rule) {
  std::fprintf(stderr, "key chain rule broken: %s\n", rule);
  std::abort();
}

bool isOurs(const PublicKey& key, std::size_t* which) {
  for (std::size_t i = 0; i < keys().size(); ++i) {
    if (key == keys()[i].publicKey) {
      *which = i;
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t flags = data[0];
  const QByteArray document = QByteArray::fromRawData(reinterpret_cast<const char*>(data + 1), static_cast<qsizetype>(size - 1));
  const std::vector<PublicKey> recovery{keys()[1].publicKey};
  const KeyChainState start{keys()[0].publicKey, flags & 0x3u, {}};

  updater::Result<updater::FeedTrustElements> elements = updater::readFeedTrustElements(document);
  if (elements) {
    std::vector<updater::KeyStatement> statements = elements->statements;
    bool anyByStartOrRecovery = false;
    for (std::size_t i = 0; i < statements.size(); ++i) {
      std::size_t which = 0;
      if (!isOurs(statements[i].signer, &which)) continue;
      anyByStartOrRecovery = anyByStartOrRecovery || which < 2;
      if ((flags >> (2 + i % 6)) & 1u) {
        statements[i].signatureBase64 = updater::signBytes(updater::keyStatementMessage(statements[i].number, statements[i].key), keys()[which]);
      }
    }
    QStringList log;
    const KeyChainState after = updater::applyKeyStatements(start, statements, recovery, log);
    if (after.statementNumber < start.statementNumber) broken("the statement number went back");
    if (after.isReplaced(after.keyInForce)) broken("the key in force is a replaced key");
    for (std::size_t i = 0; i < after.replacedKeys.size(); ++i) {
      if (std::count(after.replacedKeys.begin(), after.replacedKeys.end(), after.replacedKeys[i]) != 1) broken("a key was replaced twice");
    }
    if (!(after == start)) {
      if (!anyByStartOrRecovery) broken("the chain moved without a statement by the key in force or a recovery key");
      const bool named = std::any_of(statements.begin(), statements.end(), [&](const updater::KeyStatement& s) {
        return s.number == after.statementNumber && s.key == after.keyInForce;
      });
      if (!named) broken("the key in force was not named by the statement whose number the chain holds");
    }
    QStringList again;
    if (!(updater::applyKeyStatements(after, statements, recovery, again) == after)) broken("applying the same statements twice moved the chain");
  }

  // The whole feed check, on the feed as it came and signed by one of the keys.
  updater::FeedTrustInput input;
  input.chain = start;
  input.recoveryKeys = recovery;
  input.lastSerial = flags >> 4;
  input.requireSignedFeed = true;
  input.now = QDateTime(QDate(2026, 1, 1), QTime(0, 0), Qt::UTC);
  (void)updater::checkFeedAgainstKeyChain(document, input);
  const KeyPair& signer = keys()[flags % 3];
  const QByteArray signedFeed = updater::signFeed(document, signer);
  updater::Result<updater::TrustedFeed> trusted = updater::checkFeedAgainstKeyChain(signedFeed, input);
  if (trusted) {
    if (!(trusted->chain.keyInForce == signer.publicKey)) broken("a feed was accepted with a signature not by the key in force");
    if (trusted->serial < input.lastSerial) broken("an older serial was accepted");
  }
  input.requireSignedFeed = false;
  (void)updater::checkFeedAgainstKeyChain(document, input);
  return 0;
}
