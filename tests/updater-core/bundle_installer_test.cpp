#include "updater/core/bundle_installer.h"

#include "updater/core/bundle_info.h"
#include "updater/core/staging_area.h"
#include "support/bundle_fixtures.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace updater {
namespace {

using namespace updater::testing;

class InstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    bundles = dir.filePath(QStringLiteral("Bundles"));
    QDir().mkpath(bundles);
    installed = makeBundle(bundles, QStringLiteral("Quillane.mailbundle"), {});
    installedTree = snapshot(installed);
  }
  QStringList bundleFolderEntries() const {
    return QDir(bundles).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
  }

  QTemporaryDir dir;
  QString bundles;
  QString installed;
  TreeSnapshot installedTree;
};

TEST_F(InstallTest, ExchangesTheBundlesAndTheStagingAreaTakesTheOldOneAway) {
  Result<StagingArea> staging = StagingArea::create(installed);
  ASSERT_TRUE(staging) << staging.error().message.toStdString();
  EXPECT_TRUE(QFileInfo(staging->path()).fileName().startsWith(QStringLiteral(".Quillane.mailbundle.update-")));
  EXPECT_EQ(QFileInfo(staging->path()).absolutePath(), bundles);
  EXPECT_EQ(QFileInfo(staging->path()).permissions() & (QFile::ReadGroup | QFile::ReadOther), 0);

  BundleSpec newer;
  newer.version = QStringLiteral("2.0");
  newer.payloadFiles = 5;
  const QString fresh = makeBundle(staging->extractionPath(), QStringLiteral("Quillane.mailbundle"), newer);
  const TreeSnapshot freshTree = snapshot(fresh);

  ASSERT_TRUE(installBundle(fresh, installed));
  EXPECT_EQ(snapshot(installed), freshTree);
  EXPECT_EQ(snapshot(fresh), installedTree);  // the old one, now in the staging area
  ASSERT_TRUE(staging->remove());
  EXPECT_EQ(bundleFolderEntries(), QStringList{QStringLiteral("Quillane.mailbundle")});
}

TEST_F(InstallTest, FlushOpensOnlyTheBundlesOwnFilesAndFolders) {
  Result<StagingArea> staging = StagingArea::create(installed);
  ASSERT_TRUE(staging);
  BundleSpec newer;
  newer.version = QStringLiteral("2.0");
  const QString fresh = makeBundle(staging->extractionPath(), QStringLiteral("Quillane.mailbundle"), newer);
  // A fifo opened for reading would block for ever; links lead out of the bundle, one to a
  // fifo; a file without any permission cannot be opened at all (except by root).
  const QString resources = fresh + QStringLiteral("/Contents/Resources");
  ASSERT_TRUE(QDir().mkpath(resources + QStringLiteral("/a/b/c")));
  ASSERT_EQ(::mkfifo(QFile::encodeName(resources + QStringLiteral("/a/pipe")).constData(), 0600), 0);
  ASSERT_EQ(::mkfifo(QFile::encodeName(dir.filePath(QStringLiteral("outside-pipe"))).constData(), 0600), 0);
  ASSERT_TRUE(QFile::link(dir.filePath(QStringLiteral("outside-pipe")), resources + QStringLiteral("/a/b/pipe-link")));
  ASSERT_TRUE(QFile::link(dir.path(), resources + QStringLiteral("/a/b/c/outside")));
  writeFile(resources + QStringLiteral("/a/b/c/locked"), "locked");
  ASSERT_TRUE(QFile::setPermissions(resources + QStringLiteral("/a/b/c/locked"), {}));
  const TreeSnapshot before = snapshot(fresh);

  EXPECT_TRUE(flushBundle(fresh));
  EXPECT_EQ(snapshot(fresh), before);
  EXPECT_FALSE(flushBundle(dir.filePath(QStringLiteral("absent"))));
}

TEST_F(InstallTest, RefusalsLeaveTheInstalledBundleUntouched) {
  Result<StagingArea> staging = StagingArea::create(installed);
  ASSERT_TRUE(staging);
  const QString fresh = makeBundle(staging->extractionPath(), QStringLiteral("Quillane.mailbundle"), {});
  const QString notAFolder = staging->filePath(QStringLiteral("file"));
  writeFile(notAFolder, "x");

  EXPECT_FALSE(installBundle(notAFolder, installed));
  EXPECT_FALSE(installBundle(staging->filePath(QStringLiteral("missing")), installed));
  EXPECT_FALSE(installBundle(installed, installed));
  EXPECT_EQ(snapshot(installed), installedTree);

  // A link at the installed path is not followed, nor replaced.
  const QString link = bundles + QStringLiteral("/Linked.mailbundle");
  ASSERT_TRUE(QFile::link(installed, link));
  EXPECT_FALSE(installBundle(fresh, link));
  EXPECT_TRUE(QFileInfo(link).isSymLink());
  EXPECT_EQ(snapshot(installed), installedTree);

  EXPECT_FALSE(installBundle(fresh, bundles + QStringLiteral("/Absent.mailbundle")));
  EXPECT_FALSE(QFile::exists(bundles + QStringLiteral("/Absent.mailbundle")));
}

TEST_F(InstallTest, CleansLeftoversButNothingElse) {
  // What an interrupted run leaves: a staging folder with a half-unpacked bundle, read-only parts.
  const QString leftover = bundles + QStringLiteral("/.Quillane.mailbundle.update-abc123");
  makeBundle(leftover + QStringLiteral("/extracted"), QStringLiteral("Quillane.mailbundle"), {});
  QFile::setPermissions(leftover + QStringLiteral("/extracted/Quillane.mailbundle/Contents"), QFile::ReadOwner | QFile::ExeOwner);
  // Things that merely look alike, and a link that must not be followed.
  const QString outside = dir.filePath(QStringLiteral("outside"));
  writeFile(outside + QStringLiteral("/precious"), "keep me");
  ASSERT_TRUE(QFile::link(outside, bundles + QStringLiteral("/.Quillane.mailbundle.update-link00")));
  writeFile(bundles + QStringLiteral("/.Quillane.mailbundle.update-file00"), "a file, not ours");
  QDir().mkpath(bundles + QStringLiteral("/.Quillane.mailbundle.update-toolong"));
  QDir().mkpath(bundles + QStringLiteral("/.Other.mailbundle.update-abc123"));

  // A live run's staging folder is locked and stays.
  Result<StagingArea> live = StagingArea::create(installed);
  ASSERT_TRUE(live);
  writeFile(live->filePath(QStringLiteral("download")), "in progress");

  Result<int> removed = cleanLeftovers(installed);
  ASSERT_TRUE(removed) << removed.error().message.toStdString();
  EXPECT_EQ(*removed, 1);
  EXPECT_FALSE(QFile::exists(leftover));
  EXPECT_EQ(readFile(outside + QStringLiteral("/precious")), "keep me");
  EXPECT_EQ(readFile(live->filePath(QStringLiteral("download"))), "in progress");
  EXPECT_EQ(snapshot(installed), installedTree);
  EXPECT_EQ(bundleFolderEntries().size(), 6);  // bundle, link, file, toolong, other, live

  ASSERT_TRUE(live->remove());
  EXPECT_EQ(*cleanLeftovers(installed), 0);
}

TEST_F(InstallTest, StagingAreasAreDistinctAndRemovedWithTheirObject) {
  QString first;
  {
    Result<StagingArea> a = StagingArea::create(installed);
    Result<StagingArea> b = StagingArea::create(installed);
    ASSERT_TRUE(a && b);
    EXPECT_NE(a->path(), b->path());
    first = a->path();
    StagingArea moved = std::move(*a);
    EXPECT_EQ(moved.path(), first);
    EXPECT_TRUE(QFileInfo(moved.extractionPath()).isDir());
  }
  EXPECT_EQ(bundleFolderEntries(), QStringList{QStringLiteral("Quillane.mailbundle")});
}

class BundleValidationTest : public InstallTest {
 protected:
  Result<BundleInfo> validate(const BundleSpec& bundleShape) {
    const QString candidate = makeBundle(dir.filePath(QStringLiteral("candidates/%1").arg(++count)), QStringLiteral("Quillane.mailbundle"), bundleShape);
    return validateUpdateBundle(candidate, *installedInfo);
  }
  void SetUp() override {
    InstallTest::SetUp();
    Result<BundleInfo> info = readBundleInfo(installed);
    ASSERT_TRUE(info) << info.error().message.toStdString();
    installedInfo = *info;
  }
  std::optional<BundleInfo> installedInfo;
  int count = 0;
};

TEST_F(BundleValidationTest, ReadsTheInstalledInfo) {
  EXPECT_EQ(installedInfo->identifier, u"com.quillane.mail.plugin");
  EXPECT_EQ(installedInfo->version, u"1.0");
  EXPECT_EQ(installedInfo->feedURL, u"https://updates.example/quillane/feed.xml");
  EXPECT_FALSE(installedInfo->requireSignedFeed);
}

TEST_F(BundleValidationTest, AcceptsOnlyANewerVersionOfTheSameBundle) {
  BundleSpec newer;
  newer.version = QStringLiteral("1.0.1");
  Result<BundleInfo> accepted = validate(newer);
  ASSERT_TRUE(accepted) << accepted.error().message.toStdString();
  EXPECT_EQ(accepted->version, u"1.0.1");

  BundleSpec same;
  same.version = QStringLiteral("1.0.0");  // equal to 1.0
  EXPECT_FALSE(validate(same));
  BundleSpec older;
  older.version = QStringLiteral("1.0b9");
  EXPECT_FALSE(validate(older));
  BundleSpec impostor;
  impostor.version = QStringLiteral("9.0");
  impostor.identifier = QStringLiteral("com.example.other");
  EXPECT_FALSE(validate(impostor));
}

TEST_F(BundleValidationTest, RefusesBundlesWhoseInfoCannotBeTrusted) {
  const QString base = dir.filePath(QStringLiteral("broken"));
  BundleSpec newer;
  newer.version = QStringLiteral("2.0");

  const QString missing = makeBundle(base + QStringLiteral("/1"), QStringLiteral("Q.mailbundle"), newer);
  QFile::remove(missing + QStringLiteral("/Contents/Info.plist"));
  EXPECT_FALSE(validateUpdateBundle(missing, *installedInfo));

  const QString garbage = makeBundle(base + QStringLiteral("/2"), QStringLiteral("Q.mailbundle"), newer);
  writeFile(garbage + QStringLiteral("/Contents/Info.plist"), "not a plist");
  EXPECT_FALSE(validateUpdateBundle(garbage, *installedInfo));

  const QString array = makeBundle(base + QStringLiteral("/3"), QStringLiteral("Q.mailbundle"), newer);
  writeFile(array + QStringLiteral("/Contents/Info.plist"), "<plist version=\"1.0\"><array/></plist>");
  EXPECT_FALSE(validateUpdateBundle(array, *installedInfo));

  // An Info.plist that is a link (to a newer bundle's, say) is not followed.
  const QString linked = makeBundle(base + QStringLiteral("/4"), QStringLiteral("Q.mailbundle"), {});
  QFile::remove(linked + QStringLiteral("/Contents/Info.plist"));
  ASSERT_TRUE(QFile::link(garbage + QStringLiteral("/../../1/Q.mailbundle/Contents/MacOS/Quillane"), linked + QStringLiteral("/Contents/Info.plist")));
  EXPECT_FALSE(validateUpdateBundle(linked, *installedInfo));
}

TEST_F(BundleValidationTest, SignedFeedSwitchFailsClosed) {
  const QString bundle = dir.filePath(QStringLiteral("switch/Q.mailbundle"));
  auto infoWith = [&](const char* value) {
    writeFile(bundle + QStringLiteral("/Contents/Info.plist"),
              QByteArray("<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>a</string>"
                         "<key>CFBundleVersion</key><string>1</string><key>SURequireSignedFeed</key>") + value + "</dict></plist>");
    Result<BundleInfo> info = readBundleInfo(bundle);
    return info && info->requireSignedFeed;
  };
  EXPECT_TRUE(infoWith("<true/>"));
  EXPECT_FALSE(infoWith("<false/>"));
  EXPECT_TRUE(infoWith("<string>YES</string>"));
  EXPECT_FALSE(infoWith("<string>NO</string>"));
  EXPECT_TRUE(infoWith("<integer>1</integer>"));
  EXPECT_TRUE(infoWith("<string>maybe</string>"));  // unreadable: required
  EXPECT_TRUE(infoWith("<array/>"));
}

}  // namespace
}  // namespace updater
