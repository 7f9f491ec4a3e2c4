// Deltas end to end in the core: made from two bundles, read back, built against the installed
// bundle, and every way a delta or the installed bundle can be wrong.
#include "updater/core/delta_application.h"
#include "updater/core/delta_creation.h"
#include "updater/core/delta_format.h"
#include "updater/core/delta_preparation.h"
#include "updater/core/ed25519_signing.h"
#include "support/bundle_fixtures.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace updater {
namespace {

using namespace updater::testing;

const uint8_t* bytesOf(const QByteArray& data) { return reinterpret_cast<const uint8_t*>(data.constData()); }

// Something like a library: large, and changed in a few places from one release to the next.
QByteArray library(int release) {
  QByteArray bytes;
  for (int i = 0; i < 40000; ++i) bytes += QByteArray::number(i * 7919 % 100003) + (i % 5000 == 17 ? QByteArray::number(release) : "") + ';';
  return bytes;
}

class DeltaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    BundleSpec oldShape;
    oldShape.publicEDKey = encodePublicKey(pair.publicKey);
    installed = makeBundle(dir.filePath(QStringLiteral("Bundles")), QStringLiteral("Quillane.mailbundle"), oldShape);
    writeFile(installed + QStringLiteral("/Contents/Frameworks/Core.so"), library(1), 0755);
    writeFile(installed + QStringLiteral("/Contents/Resources/Dropped.txt"), "gone in 2.0");
    writeFile(installed + QStringLiteral("/Contents/Resources/Mode.txt"), "mode changes", 0644);
    installedTree = snapshot(installed);
    Result<BundleInfo> info = readBundleInfo(installed);
    ASSERT_TRUE(info);
    installedInfo = *info;

    BundleSpec newShape = oldShape;
    newShape.version = QStringLiteral("2.0");
    newShape.payloadFiles = 5;
    next = makeBundle(dir.filePath(QStringLiteral("release")), QStringLiteral("Quillane.mailbundle"), newShape);
    writeFile(next + QStringLiteral("/Contents/Frameworks/Core.so"), library(2), 0755);
    writeFile(next + QStringLiteral("/Contents/Resources/Mode.txt"), "mode changes", 0755);
    writeFile(next + QStringLiteral("/Contents/Resources/Added/New.txt"), "new in 2.0", 0600);
    QFile::remove(next + QStringLiteral("/Contents/Current"));
    QFile::link(QStringLiteral("Resources"), next + QStringLiteral("/Contents/Current"));
    Result<QByteArray> made = makeDelta(installed, next);
    ASSERT_TRUE(made) << made.error().message.toStdString();
    delta = *made;
  }

  // Builds the delta against the installed bundle into a fresh folder; the built bundle's path.
  Result<QString> apply(const QByteArray& bytes, const BundleInfo& info) {
    const QString out = dir.filePath(QStringLiteral("out%1").arg(++outputs));
    QDir().mkpath(out);
    Result<ParsedDelta> parsed = readDelta(bytesOf(bytes), static_cast<std::size_t>(bytes.size()));
    if (!parsed) return parsed.error();
    return applyDelta(*parsed, installed, info, out);
  }
  Result<QString> apply(const QByteArray& bytes) { return apply(bytes, installedInfo); }

  // The delta with its manifest edited (the data section kept).
  QByteArray edited(const std::function<void(DeltaManifest&)>& edit) const {
    Result<ParsedDelta> parsed = readDelta(bytesOf(delta), static_cast<std::size_t>(delta.size()));
    EXPECT_TRUE(parsed);
    edit(parsed->manifest);
    return writeDelta(parsed->manifest, QByteArray(reinterpret_cast<const char*>(parsed->data), static_cast<qsizetype>(parsed->dataSize)));
  }

  DeltaEntry& entryAt(DeltaManifest& manifest, const std::string& path) {
    for (DeltaEntry& entry : manifest.entries) {
      if (entry.path == path) return entry;
    }
    ADD_FAILURE() << "no entry " << path;
    return manifest.entries.front();
  }

  void expectRefused(const Result<QString>& result, const char* why) {
    EXPECT_FALSE(result) << why;
    EXPECT_TRUE(snapshot(installed) == installedTree) << why << ": the installed bundle was touched";
  }

  QTemporaryDir dir;
  KeyPair pair = generateKeyPair();
  QString installed;
  TreeSnapshot installedTree;
  BundleInfo installedInfo;
  QString next;
  QByteArray delta;
  int outputs = 0;
};

TEST_F(DeltaTest, BuildsTheNewBundleExactlyFromTheOldOneAndCarriesLittle) {
  Result<QString> built = apply(delta);
  ASSERT_TRUE(built) << built.error().message.toStdString();
  const TreeSnapshot expected = snapshot(next);
  EXPECT_TRUE(snapshot(*built) == expected) << describeDifference(expected, snapshot(*built));
  EXPECT_TRUE(snapshot(installed) == installedTree);
  // The changed library goes as a patch, not whole.
  EXPECT_LT(delta.size(), library(2).size() / 20);
}

TEST_F(DeltaTest, RefusesABundleThatIsNotExactlyTheOneItWasMadeFrom) {
  BundleInfo otherVersion = installedInfo;
  otherVersion.version = QStringLiteral("1.1");
  expectRefused(apply(delta, otherVersion), "another installed version");
  BundleInfo otherProduct = installedInfo;
  otherProduct.identifier = QStringLiteral("com.example.other");
  expectRefused(apply(delta, otherProduct), "another product");

  writeFile(installed + QStringLiteral("/Contents/MacOS/Quillane"), "#!/bin/sh\necho patched locally\n", 0755);
  installedTree = snapshot(installed);
  expectRefused(apply(delta), "a locally modified unchanged file");
}

TEST_F(DeltaTest, RefusesADeltaWhoseResultDoesNotMatchItsManifest) {
  expectRefused(apply(edited([&](DeltaManifest& m) { entryAt(m, "Contents/Frameworks/Core.so").sha256[0] ^= 1; })),
                "a lying hash of a patched file");
  expectRefused(apply(edited([&](DeltaManifest& m) { entryAt(m, "Contents/Resources/Added/New.txt").size += 1; })),
                "a lying size of a new file");
  expectRefused(apply(edited([&](DeltaManifest& m) { m.sources.front().sha256[3] ^= 1; })), "a lying hash of an old file");
  expectRefused(apply(edited([&](DeltaManifest& m) { entryAt(m, "Contents/Frameworks/Core.so").dataLength -= 3; })),
                "a patch cut short");

  QByteArray corrupt = delta;
  corrupt[corrupt.size() - 2] = static_cast<char>(corrupt[corrupt.size() - 2] ^ 0x55);
  expectRefused(apply(corrupt), "damaged compressed data");
}

TEST_F(DeltaTest, AFifoInTheInstalledBundleIsRefusedWithoutWaitingForAWriter) {
  const QString library = installed + QStringLiteral("/Contents/Frameworks/Core.so");
  ASSERT_TRUE(QFile::remove(library));
  ASSERT_EQ(::mkfifo(QFile::encodeName(library).constData(), 0644), 0);
  installedTree = snapshot(installed);
  QElapsedTimer clock;
  clock.start();
  const Result<QString> built = apply(delta);
  EXPECT_LT(clock.elapsed(), 5000);
  expectRefused(built, "a fifo where a patched file was");
  if (!built) {
    EXPECT_TRUE(built.error().message.contains(QStringLiteral("is not a regular file"))) << built.error().message.toStdString();
  }
}

TEST_F(DeltaTest, RefusesHostileManifests) {
  auto withEntry = [&](DeltaEntry entry) { return edited([&](DeltaManifest& m) { m.entries.push_back(entry); }); };
  DeltaEntry escape;
  escape.path = "../../escaped";
  escape.kind = DeltaEntry::Kind::Directory;
  expectRefused(apply(withEntry(escape)), "a path with ..");
  escape.path = "/tmp/absolute";
  expectRefused(apply(withEntry(escape)), "an absolute path");
  DeltaEntry link;
  link.path = "Contents/Out";
  link.kind = DeltaEntry::Kind::Link;
  link.target = "../../../etc";
  expectRefused(apply(withEntry(link)), "a link out of the bundle");
  DeltaEntry twice;
  twice.path = "Contents/Info.plist";
  twice.kind = DeltaEntry::Kind::Directory;
  expectRefused(apply(withEntry(twice)), "an entry written twice");
  expectRefused(apply(edited([&](DeltaManifest& m) { entryAt(m, "Contents/Frameworks/Core.so").dataLength = 1 << 30; })),
                "data outside the delta");
  expectRefused(apply(edited([](DeltaManifest& m) { m.bundleName = ".."; })), "a bundle named ..");

  ExtractionLimits small;
  small.maxEntries = 5;
  EXPECT_FALSE(readDelta(bytesOf(delta), static_cast<std::size_t>(delta.size()), small)) << "more entries than the limit";
  small = {};
  small.maxTotalBytes = 1000;
  EXPECT_FALSE(readDelta(bytesOf(delta), static_cast<std::size_t>(delta.size()), small)) << "more bytes than the limit";
  for (int cut : {0, 7, 15, 40}) {
    EXPECT_FALSE(readDelta(bytesOf(delta), static_cast<std::size_t>(cut))) << "cut to " << cut << " bytes";
  }
}

TEST_F(DeltaTest, PreparationChecksTheSignatureBeforeReadingTheDelta) {
  Result<StagingArea> staging = StagingArea::create(installed);
  ASSERT_TRUE(staging);
  const QString path = staging->filePath(QStringLiteral("delta"));
  writeFile(path, delta);
  AppcastDelta enclosure{QStringLiteral("1.0"), QStringLiteral("Quillane.delta"), delta.size(), signBytes(delta, generateKeyPair())};
  Result<PreparedUpdate> wrongKey = prepareDeltaUpdate(*staging, path, enclosure, installed, installedInfo);
  ASSERT_FALSE(wrongKey);
  EXPECT_TRUE(wrongKey.error().message.contains(QStringLiteral("signature"))) << wrongKey.error().message.toStdString();
  EXPECT_TRUE(QDir(staging->extractionPath()).isEmpty()) << "nothing was built from an unverified delta";

  enclosure.edSignature = signBytes(delta, pair);
  Result<PreparedUpdate> prepared = prepareDeltaUpdate(*staging, path, enclosure, installed, installedInfo);
  ASSERT_TRUE(prepared) << prepared.error().message.toStdString();
  EXPECT_EQ(prepared->info.version, QStringLiteral("2.0"));
  EXPECT_TRUE(snapshot(prepared->bundlePath) == snapshot(next)) << describeDifference(snapshot(next), snapshot(prepared->bundlePath));
}

}  // namespace
}  // namespace updater
