#include "updater/core/update_preparation.h"

#include "updater/core/bundle_installer.h"
#include "updater/core/ed25519_signing.h"
#include "support/archive_builder.h"
#include "support/bundle_fixtures.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace updater {
namespace {

using namespace updater::testing;

// The whole path from a downloaded archive to an installed bundle, with every check: each
// refusal must leave the installed bundle exactly as it was.
class UpdatePreparationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    bundles = dir.filePath(QStringLiteral("Bundles"));
    BundleSpec bundleShape;
    bundleShape.publicEDKey = encodePublicKey(pair.publicKey);
    installed = makeBundle(bundles, QStringLiteral("Quillane.mailbundle"), bundleShape);
    installedTree = snapshot(installed);
    Result<BundleInfo> info = readBundleInfo(installed);
    ASSERT_TRUE(info);
    installedInfo = *info;
  }

  // An archive of a bundle built from bundleShape (published by the same key unless said otherwise).
  QByteArray archiveOf(const BundleSpec& bundleShape, ArchiveFormat format = ArchiveFormat::TarGz) {
    const QString source = makeBundle(dir.filePath(QStringLiteral("sources/%1").arg(++sources)), QStringLiteral("Quillane.mailbundle"), bundleShape);
    return buildArchive(format, entriesFromTree(source, "Quillane.mailbundle"));
  }
  BundleSpec newer() const {
    BundleSpec bundleShape;
    bundleShape.version = QStringLiteral("2.0");
    bundleShape.publicEDKey = encodePublicKey(pair.publicKey);
    bundleShape.payloadFiles = 6;
    return bundleShape;
  }
  AppcastItem itemFor(const QByteArray& archive, const KeyPair& signer) const {
    AppcastItem item;
    item.versionString = QStringLiteral("2.0");
    item.hasEnclosure = true;
    item.fileURL = QStringLiteral("https://updates.example/Quillane-2.0.tar.gz");
    item.contentLength = archive.size();
    item.edSignature = signBytes(archive, signer);
    return item;
  }

  // Runs the checks and, when they pass, the install. Returns the refusal, if any.
  Status update(const QByteArray& archive, const AppcastItem& item, const ExtractionLimits& limits = {}) {
    Result<StagingArea> staging = StagingArea::create(installed);
    if (!staging) return staging.error();
    const QString download = staging->filePath(QStringLiteral("download"));
    writeFile(download, archive);
    Result<PreparedUpdate> prepared = prepareUpdate(*staging, download, item, installedInfo, limits);
    if (!prepared) return prepared.error();
    return installBundle(prepared->bundlePath, installed);
  }

  void expectUntouched(const char* what) {
    const TreeSnapshot now = snapshot(installed);
    EXPECT_EQ(now, installedTree) << what << ": " << describeDifference(installedTree, now);
    EXPECT_EQ(QDir(bundles).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{QStringLiteral("Quillane.mailbundle")})
        << what << ": the staging area is gone";
  }

  QTemporaryDir dir;
  QString bundles;
  QString installed;
  TreeSnapshot installedTree;
  KeyPair pair = generateKeyPair();
  BundleInfo installedInfo;
  int sources = 0;
};

TEST_F(UpdatePreparationTest, InstallsAVerifiedNewerBundleInEveryFormat) {
  for (ArchiveFormat format : {ArchiveFormat::Zip, ArchiveFormat::TarGz, ArchiveFormat::TarXz, ArchiveFormat::TarBz2}) {
    SCOPED_TRACE(formatName(format));
    BundleSpec bundleShape = newer();
    bundleShape.version = QStringLiteral("2.%1").arg(static_cast<int>(format));
    installedInfo.version = QStringLiteral("1.9");  // each round installs a newer one than the last
    const QString source = makeBundle(dir.filePath(QStringLiteral("expected/%1").arg(static_cast<int>(format))), QStringLiteral("Quillane.mailbundle"), bundleShape);
    const QByteArray archive = buildArchive(format, entriesFromTree(source, "Quillane.mailbundle"));
    Status done = update(archive, itemFor(archive, pair));
    ASSERT_TRUE(done) << done.error().message.toStdString();
    EXPECT_EQ(snapshot(installed), snapshot(source));
  }
}

TEST_F(UpdatePreparationTest, EveryRefusalLeavesTheInstalledBundleUntouched) {
  const QByteArray good = archiveOf(newer());
  const KeyPair stranger = generateKeyPair();

  {
    AppcastItem unsignedItem = itemFor(good, pair);
    unsignedItem.edSignature.clear();
    EXPECT_FALSE(update(good, unsignedItem));
    expectUntouched("no signature");
  }
  {
    AppcastItem item = itemFor(good, pair);
    item.edSignature = item.edSignature.left(40);
    EXPECT_FALSE(update(good, item));
    expectUntouched("signature of the wrong size");
  }
  EXPECT_FALSE(update(good, itemFor(good, stranger)));
  expectUntouched("signed by another key");
  {
    AppcastItem item = itemFor(good, pair);
    item.contentLength += 1;
    EXPECT_FALSE(update(good, item));
    expectUntouched("length mismatch");
  }
  {
    QByteArray tampered = good;
    tampered[tampered.size() / 2] = static_cast<char>(tampered[tampered.size() / 2] ^ 0x40);
    EXPECT_FALSE(update(tampered, itemFor(good, pair)));
    expectUntouched("archive altered after signing");
  }
  {
    BundleInfo keyless = installedInfo;
    keyless.publicEDKey.clear();
    std::swap(keyless, installedInfo);
    EXPECT_FALSE(update(good, itemFor(good, pair)));
    std::swap(keyless, installedInfo);
    expectUntouched("no public key installed");
  }

  // Correctly signed, but what is inside must not be installed.
  BundleSpec older = newer();
  older.version = QStringLiteral("0.9");
  const QByteArray downgrade = archiveOf(older);
  EXPECT_FALSE(update(downgrade, itemFor(downgrade, pair)));
  expectUntouched("a downgrade, whatever the feed says");

  BundleSpec same = newer();
  same.version = QStringLiteral("1.0");
  const QByteArray reinstall = archiveOf(same);
  EXPECT_FALSE(update(reinstall, itemFor(reinstall, pair)));
  expectUntouched("the same version");

  BundleSpec other = newer();
  other.identifier = QStringLiteral("com.example.other");
  const QByteArray substitute = archiveOf(other);
  EXPECT_FALSE(update(substitute, itemFor(substitute, pair)));
  expectUntouched("another product");

  const QByteArray traversal = buildArchive(ArchiveFormat::TarGz, {folderEntry("Quillane.mailbundle"), fileEntry("Quillane.mailbundle/../../x", "x")});
  EXPECT_FALSE(update(traversal, itemFor(traversal, pair)));
  expectUntouched("path traversal");
  EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("x"))));

  const QByteArray escapingLink = buildArchive(ArchiveFormat::TarGz, {folderEntry("Quillane.mailbundle"), linkEntry("Quillane.mailbundle/Contents", "../../..")});
  EXPECT_FALSE(update(escapingLink, itemFor(escapingLink, pair)));
  expectUntouched("a link out of the bundle");

  const QByteArray device = buildArchive(ArchiveFormat::TarGz, {folderEntry("Quillane.mailbundle"), {"Quillane.mailbundle/dev", ArchiveEntry::Type::CharDevice, {}, 0666}});
  EXPECT_FALSE(update(device, itemFor(device, pair)));
  expectUntouched("a device file");

  std::vector<ArchiveEntry> twoBundles = entriesFromTree(dir.filePath(QStringLiteral("sources/1/Quillane.mailbundle")), "Quillane.mailbundle");
  twoBundles.push_back(folderEntry("Extra.mailbundle"));
  const QByteArray two = buildArchive(ArchiveFormat::TarGz, twoBundles);
  EXPECT_FALSE(update(two, itemFor(two, pair)));
  expectUntouched("two top-level bundles");

  ExtractionLimits small;
  small.maxTotalBytes = 100;
  EXPECT_FALSE(update(good, itemFor(good, pair), small));
  expectUntouched("too large once unpacked");

  const QByteArray garbage = "not an archive";
  EXPECT_FALSE(update(garbage, itemFor(garbage, pair)));
  expectUntouched("not an archive");
}

TEST_F(UpdatePreparationTest, AStreamedCheckInstallsOnlyWhatItsVerifierSawWhole) {
  const QByteArray good = archiveOf(newer());
  // The archive stored as downloaded; `seen` is what went through the verifier on the way.
  auto streamed = [&](const QByteArray& stored, const QByteArray& seen, const AppcastItem& item) -> Status {
    Result<StagingArea> staging = StagingArea::create(installed);
    if (!staging) return staging.error();
    const QString download = staging->filePath(QStringLiteral("download"));
    writeFile(download, stored);
    Result<StreamingSignatureVerifier> verifier = StreamingSignatureVerifier::create(item.edSignature, pair.publicKey);
    if (!verifier) return verifier.error();
    verifier->update(seen);
    Result<PreparedUpdate> prepared = prepareUpdate(*staging, download, *verifier, item, installedInfo);
    if (!prepared) return prepared.error();
    return installBundle(prepared->bundlePath, installed);
  };

  QByteArray tampered = good;
  tampered[tampered.size() / 3] = static_cast<char>(tampered[tampered.size() / 3] ^ 0x01);
  EXPECT_FALSE(streamed(tampered, tampered, itemFor(good, pair)));
  expectUntouched("archive altered after signing");
  EXPECT_FALSE(streamed(good, good.left(good.size() - 1), itemFor(good, pair)));
  expectUntouched("fewer bytes seen than declared");
  EXPECT_FALSE(streamed(good, good, itemFor(good, generateKeyPair())));
  expectUntouched("signed by another key");
  EXPECT_FALSE(streamed(good + QByteArray(4096, '\0'), good, itemFor(good, pair)));
  expectUntouched("more bytes stored than were checked");

  Status done = streamed(good, good, itemFor(good, pair));
  ASSERT_TRUE(done) << done.error().message.toStdString();
  EXPECT_NE(snapshot(installed), installedTree);
}

}  // namespace
}  // namespace updater
