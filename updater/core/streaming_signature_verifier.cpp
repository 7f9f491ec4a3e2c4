#include "updater/core/streaming_signature_verifier.h"

#include <sodium.h>

#include <cstring>

namespace updater {

// Why the decision in finish() is libsodium's own. crypto_sign_verify_detached of 1.0.18 accepts when:
//   (1) S < L (canonical); (2) R is not one of the small-order encodings it lists;
//   (3) A is canonical and not small-order; (4) A decodes to a curve point;
//   (5) the canonical encoding of [S]B - [h]A equals R's 32 bytes, h = SHA-512(R || A || M) mod L.
// When A is a valid point in crypto_core_ed25519_is_valid_point's sense (canonical, not small
// order, on the curve, in the prime-order subgroup), (3) and (4) hold, and [S]B - [h]A lies in
// the prime-order subgroup, so (5) can only hold for an R that is canonical and in that subgroup;
// of those, the only small-order one is the identity. So (2) and (5) together are exactly
// "(5) and crypto_core_ed25519_is_valid_point(R)". Every other key takes libsodium's own path.
struct StreamingSignatureVerifier::State {
  QString signatureBase64;  // for the whole-message fallback
  unsigned char signature[crypto_sign_BYTES];
  PublicKey key;
  bool keyInPrimeOrderSubgroup = false;
  bool streamedRulesHold = false;  // the loaded libsodium checks as reasoned above
  crypto_hash_sha512_state hash;
  std::uint64_t bytes = 0;
  bool finished = false;
};

namespace {

constexpr unsigned char kIdentity[32] = {1};

Error mismatch() {
  return makeError(QStringLiteral(
      "The update cannot be trusted: its signature does not match its contents and the publisher's key."));
}

// [n]B, also for n = 0 (which libsodium's call refuses).
bool baseMultiple(unsigned char out[32], const unsigned char n[32]) {
  if (sodium_is_zero(n, 32)) {
    std::memcpy(out, kIdentity, 32);
    return true;
  }
  return crypto_scalarmult_ed25519_base_noclamp(out, n) == 0;
}

}  // namespace

Result<StreamingSignatureVerifier> StreamingSignatureVerifier::create(const QString& signatureBase64,
                                                                      const PublicKey& key) {
  if (sodium_init() < 0) return makeError(QStringLiteral("The signature library could not start."));
  Result<QByteArray> signature = decodeSignature(signatureBase64);
  if (!signature) return makeError(QStringLiteral("The update cannot be trusted: %1").arg(signature.error().message));
  auto state = std::make_unique<State>();
  state->signatureBase64 = signatureBase64;
  std::memcpy(state->signature, signature->constData(), sizeof state->signature);
  state->key = key;
  state->keyInPrimeOrderSubgroup = crypto_core_ed25519_is_valid_point(key.bytes.data()) == 1;
  // The reasoning above is about 1.0.18's checks; any other release is asked directly.
  state->streamedRulesHold = std::strcmp(sodium_version_string(), "1.0.18") == 0;
  crypto_hash_sha512_init(&state->hash);
  crypto_hash_sha512_update(&state->hash, state->signature, 32);
  crypto_hash_sha512_update(&state->hash, key.bytes.data(), key.bytes.size());
  return StreamingSignatureVerifier(std::move(state));
}

StreamingSignatureVerifier::StreamingSignatureVerifier(std::unique_ptr<State> state) : state_(std::move(state)) {}
StreamingSignatureVerifier::StreamingSignatureVerifier(StreamingSignatureVerifier&&) noexcept = default;
StreamingSignatureVerifier& StreamingSignatureVerifier::operator=(StreamingSignatureVerifier&&) noexcept = default;
StreamingSignatureVerifier::~StreamingSignatureVerifier() = default;

void StreamingSignatureVerifier::update(const unsigned char* data, std::size_t length) {
  crypto_hash_sha512_update(&state_->hash, data, length);
  state_->bytes += length;
}

std::uint64_t StreamingSignatureVerifier::bytesSeen() const { return state_->bytes; }

bool StreamingSignatureVerifier::needsStoredCopy() const {
  return !state_->keyInPrimeOrderSubgroup || !state_->streamedRulesHold;
}

Status StreamingSignatureVerifier::finish(const QString& storedCopyPath) {
  State& s = *state_;
  if (s.finished) return makeError(QStringLiteral("The update's signature was already checked."));
  s.finished = true;
  if (needsStoredCopy()) {
    if (storedCopyPath.isEmpty()) return mismatch();
    return verifyArchiveSignature(storedCopyPath, s.signatureBase64, static_cast<qint64>(s.bytes), s.key);
  }
  const unsigned char* r = s.signature;
  const unsigned char* scalar = s.signature + 32;

  // S < L exactly when reducing it modulo L leaves it unchanged.
  unsigned char wide[64] = {};
  unsigned char reduced[32];
  std::memcpy(wide, scalar, 32);
  crypto_core_ed25519_scalar_reduce(reduced, wide);
  if (sodium_memcmp(reduced, scalar, 32) != 0) return mismatch();
  if (crypto_core_ed25519_is_valid_point(r) != 1) return mismatch();

  unsigned char digest[crypto_hash_sha512_BYTES];
  unsigned char h[32];
  crypto_hash_sha512_final(&s.hash, digest);
  crypto_core_ed25519_scalar_reduce(h, digest);

  unsigned char sB[32], hA[32], expectedR[32];
  if (!baseMultiple(sB, scalar)) return mismatch();
  if (sodium_is_zero(h, 32)) {
    std::memcpy(hA, kIdentity, 32);
  } else if (crypto_scalarmult_ed25519_noclamp(hA, h, s.key.bytes.data()) != 0) {
    return mismatch();  // cannot happen for 0 < h < L and A of prime order
  }
  if (crypto_core_ed25519_sub(expectedR, sB, hA) != 0) return mismatch();
  if (sodium_memcmp(expectedR, r, 32) != 0) return mismatch();
  return Status::ok();
}

}  // namespace updater
