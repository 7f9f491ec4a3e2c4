// The streaming check must accept exactly what crypto_sign_verify_detached accepts. Compared on
// random and mutated signatures, keys and messages, weighted towards the edges of the encoding:
// non-canonical S, small-order, non-canonical and mixed-order R and A, all-zero inputs.
//
// QUILLANE_SIGNATURE_CASES sets the number of cases (default 4,000 for a quick run; 100,000 by hand).
#include "updater/core/streaming_signature_verifier.h"

#include "support/bundle_fixtures.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sodium.h>

#include <array>
#include <cstring>
#include <vector>

namespace updater {
namespace {

using Bytes32 = std::array<unsigned char, 32>;

// The group order L, little-endian.
constexpr Bytes32 kOrder = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                            0xa2, 0xde, 0xf9, 0xde, 0x14, 0,    0,    0,    0,    0,    0,
                            0,    0,    0,    0,    0,    0,    0,    0,    0,    0x10};
constexpr Bytes32 kIdentity = {1};

Bytes32 add256(const Bytes32& a, const Bytes32& b) {
  Bytes32 sum{};
  unsigned carry = 0;
  for (int i = 0; i < 32; ++i) {
    carry += unsigned{a[i]} + b[i];
    sum[i] = static_cast<unsigned char>(carry);
    carry >>= 8;
  }
  return sum;
}

Bytes32 pointAdd(const Bytes32& p, const Bytes32& q) {
  Bytes32 r{};
  EXPECT_EQ(crypto_core_ed25519_add(r.data(), p.data(), q.data()), 0);
  return r;
}

// [n]P by doubling and adding, for points the library's scalar multiplication refuses.
Bytes32 multiple(const Bytes32& n, const Bytes32& p) {
  Bytes32 result = kIdentity;
  for (int bit = 255; bit >= 0; --bit) {
    result = pointAdd(result, result);
    if ((n[bit / 8] >> (bit % 8)) & 1) result = pointAdd(result, p);
  }
  return result;
}

Bytes32 randomScalar() {
  Bytes32 s{};
  crypto_core_ed25519_scalar_random(s.data());
  return s;
}

Bytes32 reduce(const unsigned char* wide64) {
  Bytes32 s{};
  crypto_core_ed25519_scalar_reduce(s.data(), wide64);
  return s;
}

struct Signer {
  std::array<unsigned char, 64> secret{};
  Bytes32 publicKey{};
  Bytes32 scalar{};  // a, reduced modulo L: A = [a]B
};

Signer makeSigner() {
  Signer signer;
  crypto_sign_keypair(signer.publicKey.data(), signer.secret.data());
  unsigned char expanded[64] = {};
  crypto_hash_sha512(expanded, signer.secret.data(), 32);
  expanded[0] &= 248;
  expanded[31] &= 127;
  expanded[31] |= 64;
  std::memset(expanded + 32, 0, 32);
  signer.scalar = reduce(expanded);
  return signer;
}

// h = SHA-512(R || A || M) mod L.
Bytes32 challenge(const unsigned char* r, const Bytes32& key, const std::vector<unsigned char>& message) {
  crypto_hash_sha512_state state;
  unsigned char digest[64];
  crypto_hash_sha512_init(&state);
  crypto_hash_sha512_update(&state, r, 32);
  crypto_hash_sha512_update(&state, key.data(), 32);
  crypto_hash_sha512_update(&state, message.data(), message.size());
  crypto_hash_sha512_final(&state, digest);
  return reduce(digest);
}

// A signature (R, S) with S = r + h*a for any key A = [a]B + T: what a signer would produce
// for a key carrying a torsion component T. Valid under libsodium when [h]T is the identity.
std::array<unsigned char, 64> signWithScalar(const Bytes32& a, const Bytes32& key, const std::vector<unsigned char>& message,
                                             const Bytes32& rPoint, const Bytes32& r) {
  std::array<unsigned char, 64> signature{};
  std::memcpy(signature.data(), rPoint.data(), 32);
  const Bytes32 h = challenge(rPoint.data(), key, message);
  Bytes32 ha{}, s{};
  crypto_core_ed25519_scalar_mul(ha.data(), h.data(), a.data());
  crypto_core_ed25519_scalar_add(s.data(), r.data(), ha.data());
  std::memcpy(signature.data() + 32, s.data(), 32);
  return signature;
}

class SignatureDifferentialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GE(sodium_init(), 0);
    ASSERT_TRUE(dir.isValid());
    storedCopy = dir.filePath(QStringLiteral("message"));
    // A point of order 8: [L]P for a curve point P with a torsion component of that order.
    for (unsigned char seed = 2; torsion8 == Bytes32{}; ++seed) {
      Bytes32 y{};
      y[0] = seed;
      Bytes32 probe{};
      if (crypto_core_ed25519_add(probe.data(), y.data(), kIdentity.data()) != 0) continue;  // not on the curve
      const Bytes32 t = multiple(kOrder, y);
      if (multiple(Bytes32{4}, t) != kIdentity) torsion8 = t;
    }
    // Every encoding of a small-order point: the 8 multiples of torsion8, with either sign bit,
    // and the non-canonical aliases of y = 0 and y = 1.
    Bytes32 point = kIdentity;
    for (int k = 0; k < 8; ++k, point = pointAdd(point, torsion8)) {
      smallOrder.push_back(point);
      Bytes32 flipped = point;
      flipped[31] ^= 0x80;
      smallOrder.push_back(flipped);
    }
    EXPECT_EQ(point, kIdentity);
    for (unsigned char k = 0; k <= 18; ++k) {  // y = p + k, both signs
      Bytes32 alias{};
      alias.fill(0xff);
      alias[0] = static_cast<unsigned char>(0xed + k);
      alias[31] = 0x7f;
      nonCanonical.push_back(alias);
      alias[31] = 0xff;
      nonCanonical.push_back(alias);
    }
    for (int i = 0; i < 8; ++i) signers.push_back(makeSigner());
  }

  unsigned random(unsigned bound) { return randombytes_uniform(bound); }

  std::vector<unsigned char> randomMessage() {
    std::vector<unsigned char> message(random(200));
    randombytes_buf(message.data(), message.size());
    return message;
  }

  // Compares the two decisions on one case; the message goes in in random pieces.
  void compare(const std::array<unsigned char, 64>& signature, const Bytes32& key, const std::vector<unsigned char>& message,
               const char* kind) {
    const bool expected = crypto_sign_verify_detached(signature.data(), message.data(), message.size(), key.data()) == 0;
    PublicKey publicKey;
    std::memcpy(publicKey.bytes.data(), key.data(), 32);
    const QString encoded = QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(signature.data()), 64).toBase64());
    Result<StreamingSignatureVerifier> verifier = StreamingSignatureVerifier::create(encoded, publicKey);
    ASSERT_TRUE(verifier) << kind;
    for (std::size_t at = 0; at < message.size();) {
      const std::size_t piece = std::min<std::size_t>(message.size() - at, random(80));
      verifier->update(message.data() + at, piece);
      at += piece;
    }
    QString path;
    if (verifier->needsStoredCopy()) {
      testing::writeFile(storedCopy, QByteArray(reinterpret_cast<const char*>(message.data()),
                                                static_cast<qsizetype>(message.size())));
      path = storedCopy;
      ++fallbacks;
    }
    const bool actual = bool(verifier->finish(path));
    ++cases;
    accepted += expected;
    ASSERT_EQ(actual, expected) << kind << " signature " << encoded.toStdString() << " key "
                                << QByteArray(reinterpret_cast<const char*>(key.data()), 32).toHex().toStdString();
  }

  QTemporaryDir dir;
  QString storedCopy;
  Bytes32 torsion8{};
  std::vector<Bytes32> smallOrder, nonCanonical;
  std::vector<Signer> signers;
  int cases = 0, accepted = 0, fallbacks = 0;
};

TEST_F(SignatureDifferentialTest, AcceptsExactlyWhatLibsodiumAccepts) {
  int total = qEnvironmentVariableIntValue("QUILLANE_SIGNATURE_CASES");
  if (total <= 0) total = 4000;
  constexpr int kKinds = 14;
  for (int i = 0; i < total && !HasFatalFailure(); ++i) {
    const Signer& signer = signers[random(signers.size())];
    std::vector<unsigned char> message = randomMessage();
    std::array<unsigned char, 64> signature{};
    crypto_sign_detached(signature.data(), nullptr, message.data(), message.size(), signer.secret.data());
    Bytes32 key = signer.publicKey;
    Bytes32 s{};
    std::memcpy(s.data(), signature.data() + 32, 32);
    const char* kind = "";
    switch (i % kKinds) {
      case 0:
        kind = "valid";
        break;
      case 1:
        kind = "message bit flipped";
        if (message.empty()) message.push_back(0);
        message[random(message.size())] ^= static_cast<unsigned char>(1u << random(8));
        break;
      case 2:
        kind = "signature bit flipped";
        signature[random(64)] ^= static_cast<unsigned char>(1u << random(8));
        break;
      case 3: {
        kind = "S + L (non-canonical)";
        const Bytes32 big = add256(s, kOrder);
        std::memcpy(signature.data() + 32, big.data(), 32);
        break;
      }
      case 4: {
        kind = "S with high bits, 0, L or L-1";
        const unsigned which = random(4);
        Bytes32 value = which == 0 ? s : which == 1 ? Bytes32{} : kOrder;
        if (which == 0) value[31] |= static_cast<unsigned char>(random(16) << 4);
        if (which == 3) value[0] -= 1;
        std::memcpy(signature.data() + 32, value.data(), 32);
        break;
      }
      case 5: {
        kind = "small-order R";
        const Bytes32& r = smallOrder[random(smallOrder.size())];
        std::memcpy(signature.data(), r.data(), 32);
        break;
      }
      case 6: {
        // R the identity with S = h*a: [S]B - [h]A is then R itself, yet libsodium refuses it.
        kind = "identity R with matching S";
        Bytes32 r = kIdentity;
        if (random(2)) r = smallOrder[random(smallOrder.size())];
        signature = signWithScalar(signer.scalar, key, message, r, Bytes32{});
        break;
      }
      case 7: {
        kind = "non-canonical R";
        const Bytes32& r = nonCanonical[random(nonCanonical.size())];
        const Bytes32 nonce = randomScalar();
        signature = signWithScalar(signer.scalar, key, message, r, nonce);
        break;
      }
      case 8: {
        kind = "mixed-order R";
        const Bytes32 nonce = randomScalar();
        Bytes32 r{};
        ASSERT_EQ(crypto_scalarmult_ed25519_base_noclamp(r.data(), nonce.data()), 0);
        signature = signWithScalar(signer.scalar, key, message, pointAdd(r, smallOrder[random(smallOrder.size())]), nonce);
        break;
      }
      case 9:
        kind = "small-order A";
        key = smallOrder[random(smallOrder.size())];
        if (random(2)) signature = signWithScalar(Bytes32{}, key, message, kIdentity, Bytes32{});
        break;
      case 10:
        kind = "non-canonical A";
        key = nonCanonical[random(nonCanonical.size())];
        break;
      case 11: {
        // A = [a]B + T: signatures over it verify when [h]T happens to vanish.
        kind = "mixed-order A";
        key = pointAdd(signer.publicKey, smallOrder[random(smallOrder.size())]);
        const Bytes32 nonce = randomScalar();
        Bytes32 r{};
        ASSERT_EQ(crypto_scalarmult_ed25519_base_noclamp(r.data(), nonce.data()), 0);
        signature = signWithScalar(signer.scalar, key, message, r, nonce);
        break;
      }
      case 12: {
        kind = "all zero";
        const unsigned which = random(8);
        if (which & 1) signature.fill(0);
        if (which & 2) key.fill(0);
        if (which & 4) std::fill(message.begin(), message.end(), 0);
        break;
      }
      default:
        kind = "random bytes";
        randombytes_buf(signature.data(), signature.size());
        if (random(2)) randombytes_buf(key.data(), key.size());
        break;
    }
    compare(signature, key, message, kind);
  }
  // Both answers must have been exercised, and most cases decided without the stored copy.
  EXPECT_GT(accepted, total / kKinds / 2);
  EXPECT_LT(accepted, total / 2);
  EXPECT_LT(fallbacks, total / 3);
  std::printf("%d cases, %d accepted, %d through the stored copy\n", cases, accepted, fallbacks);
}

TEST_F(SignatureDifferentialTest, AMixedOrderKeyIsDecidedOnlyOverAMatchingStoredCopy) {
  const Signer& signer = signers[0];
  const Bytes32 key = pointAdd(signer.publicKey, torsion8);
  std::vector<unsigned char> message;
  std::array<unsigned char, 64> signature{};
  do {  // a signature libsodium accepts: [h]T vanishes for one message in eight
    message = randomMessage();
    const Bytes32 nonce = randomScalar();
    Bytes32 r{};
    ASSERT_EQ(crypto_scalarmult_ed25519_base_noclamp(r.data(), nonce.data()), 0);
    signature = signWithScalar(signer.scalar, key, message, r, nonce);
  } while (crypto_sign_verify_detached(signature.data(), message.data(), message.size(), key.data()) != 0);

  PublicKey publicKey;
  std::memcpy(publicKey.bytes.data(), key.data(), 32);
  const QString encoded = QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(signature.data()), 64).toBase64());
  const QByteArray bytes(reinterpret_cast<const char*>(message.data()), static_cast<qsizetype>(message.size()));
  auto decide = [&](const QString& path) {
    Result<StreamingSignatureVerifier> verifier = StreamingSignatureVerifier::create(encoded, publicKey);
    EXPECT_TRUE(verifier);
    verifier->update(bytes);
    EXPECT_TRUE(verifier->needsStoredCopy());
    return bool(verifier->finish(path));
  };
  EXPECT_FALSE(decide(QString()));
  testing::writeFile(storedCopy, bytes + "x");
  EXPECT_FALSE(decide(storedCopy));
  testing::writeFile(storedCopy, bytes);
  EXPECT_TRUE(decide(storedCopy));
}

}  // namespace
}  // namespace updater
