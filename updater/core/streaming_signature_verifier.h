// An Ed25519 signature check that runs while the signed bytes arrive.
//
// Ed25519 verification hashes SHA-512(R || A || M), where R (the signature's first half) and A
// (the public key) are known before the first byte of M. So the hash runs as the download
// streams in, and finish() only does the few group operations left: checking a 50 MB update
// costs well under a millisecond after its last byte, instead of another pass over the file.
//
// It accepts exactly what crypto_sign_verify_detached of libsodium 1.0.18 accepts. Wherever the
// rules may differ, finish() falls back to crypto_sign_verify_detached over the stored copy of
// the bytes, which is exact by definition: for a public key outside the prime-order subgroup
// (which libsodium's group operations refuse), and with any other libsodium release than
// 1.0.18, whose checks the streamed one reproduces (later releases change them: 1.0.19 verifies
// with the cofactor). The release is the one loaded at run time, checked when the check starts.
#pragma once

#include "updater/core/ed25519_signing.h"
#include "updater/core/result.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace updater {

class StreamingSignatureVerifier {
 public:
  // Fails, like decodeSignature(), when the signature is missing, not base64 or the wrong size.
  static Result<StreamingSignatureVerifier> create(const QString& signatureBase64, const PublicKey& key);

  StreamingSignatureVerifier(StreamingSignatureVerifier&&) noexcept;
  StreamingSignatureVerifier& operator=(StreamingSignatureVerifier&&) noexcept;
  ~StreamingSignatureVerifier();

  // Feeds the next bytes of the signed message, in order. Never fails; does not block.
  void update(const unsigned char* data, std::size_t length);
  void update(const QByteArray& bytes) {
    update(reinterpret_cast<const unsigned char*>(bytes.constData()), static_cast<std::size_t>(bytes.size()));
  }
  std::uint64_t bytesSeen() const;

  // True when finish() will read the stored copy: the key lies outside the prime-order
  // subgroup (or is no valid key at all, in which case the answer is a cheap refusal), or the
  // libsodium loaded is not the release whose rules the streamed check reproduces.
  bool needsStoredCopy() const;

  // Whether the bytes fed so far are signed by the key. storedCopyPath: a file holding exactly
  // those bytes, read only when needsStoredCopy(); may be empty otherwise. Call once.
  Status finish(const QString& storedCopyPath);

 private:
  struct State;
  explicit StreamingSignatureVerifier(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace updater
