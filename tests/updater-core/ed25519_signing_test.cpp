#include "updater/core/ed25519_signing.h"

#include "support/bundle_fixtures.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace updater {
namespace {

using testing::readFile;
using testing::writeFile;

TEST(PublicKeyDecoding, AcceptsExactly32BytesOfStrictBase64) {
  const KeyPair pair = generateKeyPair();
  const QString encoded = encodePublicKey(pair.publicKey);
  Result<PublicKey> decoded = decodePublicKey(QStringLiteral("  ") + encoded + QStringLiteral("\n"));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->bytes, pair.publicKey.bytes);

  const QString refused[] = {
      QString(),
      QStringLiteral("   "),
      QString::fromLatin1(QByteArray(31, 'k').toBase64()),
      QString::fromLatin1(QByteArray(33, 'k').toBase64()),
      encoded.left(encoded.size() - 1),            // padding cut
      encoded.left(20) + u'!' + encoded.mid(21),   // not base64
      encoded.left(20) + u' ' + encoded.mid(20),   // white space inside
  };
  for (const QString& key : refused) EXPECT_FALSE(decodePublicKey(key)) << key.toStdString();
}

class ArchiveSignatureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    archive = dir.filePath(QStringLiteral("update.tar.gz"));
    writeFile(archive, contents);
    Result<QString> signature = signFile(archive, pair);
    ASSERT_TRUE(signature);
    goodSignature = *signature;
  }
  Status verify(const QString& signature, qint64 length = -2) {
    return verifyArchiveSignature(archive, signature, length == -2 ? contents.size() : length, pair.publicKey);
  }

  QTemporaryDir dir;
  KeyPair pair = generateKeyPair();
  QByteArray contents = QByteArray("archive bytes ").repeated(1000);
  QString archive;
  QString goodSignature;
};

TEST_F(ArchiveSignatureTest, AcceptsTheSignedFileAndTheInMemoryBytes) {
  EXPECT_TRUE(verify(goodSignature));
  EXPECT_TRUE(verifySignature(contents, goodSignature, pair.publicKey));
  EXPECT_EQ(signBytes(contents, pair), goodSignature);  // Ed25519 is deterministic
}

TEST_F(ArchiveSignatureTest, FailsClosed) {
  const KeyPair other = generateKeyPair();
  const QByteArray raw = QByteArray::fromBase64(goodSignature.toLatin1());
  EXPECT_FALSE(verify(QString()));                                                          // not signed
  EXPECT_FALSE(verify(QStringLiteral("not base64!")));
  EXPECT_FALSE(verify(QString::fromLatin1(raw.left(63).toBase64())));                      // too short
  EXPECT_FALSE(verify(QString::fromLatin1((raw + 'x').toBase64())));                       // too long
  EXPECT_FALSE(verify(goodSignature, contents.size() + 1));                                // length mismatch
  EXPECT_FALSE(verify(goodSignature, -1));                                                 // no length
  EXPECT_FALSE(verifyArchiveSignature(archive, goodSignature, contents.size(), other.publicKey));
  QByteArray flipped = raw;
  flipped[10] = static_cast<char>(flipped[10] ^ 1);
  EXPECT_FALSE(verify(QString::fromLatin1(flipped.toBase64())));
  EXPECT_FALSE(verifyArchiveSignature(dir.filePath(QStringLiteral("missing")), goodSignature, contents.size(), pair.publicKey));
}

TEST_F(ArchiveSignatureTest, AnyChangeToTheFileIsCaught) {
  QByteArray changed = contents;
  changed[contents.size() / 2] = 'X';
  writeFile(archive, changed);
  EXPECT_FALSE(verify(goodSignature));
  writeFile(archive, contents.left(contents.size() - 1));
  EXPECT_FALSE(verify(goodSignature, contents.size() - 1));  // truncated, even with a matching length
}

TEST_F(ArchiveSignatureTest, RefusesALinkInPlaceOfTheArchive) {
  const QString link = dir.filePath(QStringLiteral("link.tar.gz"));
  ASSERT_TRUE(QFile::link(archive, link));
  EXPECT_FALSE(verifyArchiveSignature(link, goodSignature, contents.size(), pair.publicKey));
}

TEST(PrivateKeyFile, IsWrittenWithMode0600AndNeverOverwritten) {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("key"));
  const KeyPair pair = generateKeyPair();
  ::umask(0);  // the file must be 0600 whatever the umask
  ASSERT_TRUE(writePrivateKeyFile(path, pair));
  ::umask(022);
  struct stat info {};
  ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  const QByteArray before = readFile(path);
  EXPECT_FALSE(writePrivateKeyFile(path, generateKeyPair()));
  EXPECT_EQ(readFile(path), before);

  Result<KeyPair> read = readPrivateKeyFile(path);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->publicKey.bytes, pair.publicKey.bytes);
  EXPECT_EQ(signBytes("message", *read), signBytes("message", pair));
}

TEST(PrivateKeyFile, RefusesFilesOthersCanReadAndFilesThatAreNotKeys) {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("key"));
  ASSERT_TRUE(writePrivateKeyFile(path, generateKeyPair()));
  ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0644), 0);
  EXPECT_FALSE(readPrivateKeyFile(path));

  const QString notKey = dir.filePath(QStringLiteral("notkey"));
  writeFile(notKey, "hello\n", 0600);
  EXPECT_FALSE(readPrivateKeyFile(notKey));
  EXPECT_FALSE(readPrivateKeyFile(dir.filePath(QStringLiteral("absent"))));
  EXPECT_FALSE(readPrivateKeyFile(dir.path()));
}

}  // namespace
}  // namespace updater
