#include "updater/core/archive_extraction.h"

#include "updater/core/archive_walker.h"
#include "support/archive_builder.h"
#include "support/bundle_fixtures.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace updater {
namespace {

using namespace updater::testing;
using Type = ArchiveEntry::Type;

const ArchiveFormat kAllFormats[] = {ArchiveFormat::Zip, ArchiveFormat::TarGz, ArchiveFormat::TarXz, ArchiveFormat::TarBz2};

std::vector<ArchiveEntry> goodBundle() {
  return {
      folderEntry("Q.mailbundle"),
      folderEntry("Q.mailbundle/Contents"),
      fileEntry("Q.mailbundle/Contents/Info.plist", "<plist/>"),
      fileEntry("Q.mailbundle/Contents/MacOS/Quillane", "#!/bin/sh\n", 0755),
      fileEntry("Q.mailbundle/Contents/Resources/empty", ""),
      fileEntry("Q.mailbundle/Contents/Resources/readonly", "r", 0444),
      fileEntry("Q.mailbundle/Contents/Resources/setuid", "s", 04755),
      linkEntry("Q.mailbundle/Contents/Current", "MacOS"),
      linkEntry("Q.mailbundle/Contents/MacOS/Up", "../Resources/empty"),
  };
}

class ArchiveExtractionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    destination = dir.filePath(QStringLiteral("extracted"));
    ASSERT_TRUE(QDir().mkpath(destination));
  }
  Result<QString> extract(const QByteArray& archive, const ExtractionLimits& limits = {}) {
    const QString path = dir.filePath(QStringLiteral("archive"));
    writeFile(path, archive);
    return extractArchive(path, destination, limits);
  }

  QTemporaryDir dir;
  QString destination;
};

TEST_F(ArchiveExtractionTest, UnpacksEveryFormatFaithfully) {
  for (ArchiveFormat format : kAllFormats) {
    SCOPED_TRACE(formatName(format));
    QDir(destination).removeRecursively();
    QDir().mkpath(destination);
    const QByteArray archive = buildArchive(format, goodBundle());
    Result<QString> bundle = extract(archive);
    ASSERT_TRUE(bundle) << bundle.error().message.toStdString();
    EXPECT_EQ(*bundle, destination + QStringLiteral("/Q.mailbundle"));

    const TreeSnapshot tree = snapshot(*bundle);
    const TreeSnapshot expected{
        {"Contents", "folder"},
        {"Contents/Info.plist", "file 644: <plist/>"},
        {"Contents/MacOS", "folder"},
        {"Contents/MacOS/Quillane", "file 755: #!/bin/sh\n"},
        {"Contents/MacOS/Up", "link -> ../Resources/empty"},
        {"Contents/Resources", "folder"},
        {"Contents/Resources/empty", "file 644: "},
        {"Contents/Resources/readonly", "file 644: r"},  // owner can always write what it owns
        {"Contents/Resources/setuid", "file 755: s"},    // never a set-id bit
        {"Contents/Current", "link -> MacOS"},
    };
    EXPECT_EQ(tree, expected) << describeDifference(expected, tree);
    EXPECT_TRUE(checkArchive(archive)) << "the in-memory check agrees";
  }
}

TEST_F(ArchiveExtractionTest, AcceptsDotSlashPrefixedTarEntries) {
  Result<QString> bundle = extract(buildArchive(ArchiveFormat::TarGz, {folderEntry("./"), folderEntry("./Q.mailbundle/"),
                                                                      fileEntry("./Q.mailbundle/a", "x")}));
  ASSERT_TRUE(bundle) << bundle.error().message.toStdString();
  EXPECT_EQ(readFile(*bundle + QStringLiteral("/a")), "x");
}

struct Hostile {
  const char* name;
  std::vector<ArchiveEntry> entries;
  ArchiveFormat format = ArchiveFormat::TarGz;
};

TEST_F(ArchiveExtractionTest, RefusesHostileArchivesWithoutWritingOutside) {
  const Hostile cases[] = {
      {"absolute path", {folderEntry("Q.mailbundle"), fileEntry("/tmp/quillane-escape", "x")}},
      {"dot-dot", {folderEntry("Q.mailbundle"), fileEntry("Q.mailbundle/../../escape", "x")}},
      {"dot-dot in zip", {folderEntry("Q.mailbundle"), fileEntry("Q.mailbundle/../escape", "x")}, ArchiveFormat::Zip},
      {"absolute link", {folderEntry("Q.mailbundle"), linkEntry("Q.mailbundle/l", "/etc")}},
      {"link out of the bundle", {folderEntry("Q.mailbundle"), linkEntry("Q.mailbundle/l", "../..")}},
      {"link to the bundle's parent", {folderEntry("Q.mailbundle"), linkEntry("Q.mailbundle/Contents/l", "../..")}},
      {"link with a climb after a name", {folderEntry("Q.mailbundle"), linkEntry("Q.mailbundle/up", "."), linkEntry("Q.mailbundle/l", "up/..")}},
      {"write through a link", {folderEntry("Q.mailbundle"), linkEntry("Q.mailbundle/l", "Contents"), fileEntry("Q.mailbundle/l/x", "x")}},
      {"hard link", {folderEntry("Q.mailbundle"), fileEntry("Q.mailbundle/a", "x"), {"Q.mailbundle/b", Type::Hardlink, "Q.mailbundle/a"}}},
      {"device", {folderEntry("Q.mailbundle"), {"Q.mailbundle/null", Type::CharDevice, {}, 0666}}},
      {"fifo", {folderEntry("Q.mailbundle"), {"Q.mailbundle/pipe", Type::Fifo, {}, 0644}}},
      {"two bundles", {folderEntry("Q.mailbundle"), folderEntry("R.mailbundle")}},
      {"a stray top-level file", {folderEntry("Q.mailbundle"), fileEntry("README", "x")}},
      {"a top-level file only", {fileEntry("Q.mailbundle", "x")}},
      {"an entry twice", {folderEntry("Q.mailbundle"), fileEntry("Q.mailbundle/a", "1"), fileEntry("Q.mailbundle/a", "2")}},
      {"a file over a folder", {folderEntry("Q.mailbundle"), folderEntry("Q.mailbundle/a"), fileEntry("Q.mailbundle/a", "2")}},
      {"empty", {}},
      {"only the root", {folderEntry("./")}},
  };
  const TreeSnapshot outsideBefore = snapshot(dir.path());
  for (const Hostile& h : cases) {
    SCOPED_TRACE(h.name);
    QDir(destination).removeRecursively();
    QDir().mkpath(destination);
    const QByteArray archive = buildArchive(h.format, h.entries);
    Result<QString> bundle = extract(archive);
    EXPECT_FALSE(bundle);
    if (!bundle) {
      EXPECT_FALSE(bundle.error().message.isEmpty());
    }
    EXPECT_FALSE(checkArchive(archive)) << "the in-memory check agrees";
    // Nothing appeared beside the extraction folder (the archive file itself is rewritten).
    TreeSnapshot outside = snapshot(dir.path());
    for (auto it = outside.begin(); it != outside.end();) {
      it = it->first.rfind("extracted", 0) == 0 || it->first == "archive" ? outside.erase(it) : std::next(it);
    }
    TreeSnapshot expected = outsideBefore;
    expected.erase("extracted");
    EXPECT_EQ(outside, expected) << describeDifference(expected, outside);
  }
  EXPECT_FALSE(QFile::exists(QStringLiteral("/tmp/quillane-escape")));
}

TEST_F(ArchiveExtractionTest, RefusesArchiveBombsByWhatIsActuallyWritten) {
  ExtractionLimits limits;
  limits.maxTotalBytes = 1 << 20;
  // 4 MB of zeros compress to a few kilobytes.
  const QByteArray bomb = buildArchive(ArchiveFormat::TarXz, {folderEntry("Q.mailbundle"),
                                                              fileEntry("Q.mailbundle/zeros", std::string(4 << 20, '\0'))});
  EXPECT_LT(bomb.size(), 64 * 1024);
  Result<QString> bundle = extract(bomb, limits);
  ASSERT_FALSE(bundle);
  EXPECT_TRUE(bundle.error().message.contains(u"bytes")) << bundle.error().message.toStdString();
  // Never more than the limit (plus one read buffer) reached the disk.
  EXPECT_LE(QFileInfo(destination + QStringLiteral("/Q.mailbundle/zeros")).size(), (1 << 20) + 64 * 1024);

  // Many small files together.
  std::vector<ArchiveEntry> many{folderEntry("Q.mailbundle")};
  for (int i = 0; i < 5; ++i) many.push_back(fileEntry("Q.mailbundle/f" + std::to_string(i), std::string(300 * 1024, 'a')));
  EXPECT_FALSE(extract(buildArchive(ArchiveFormat::TarGz, many), limits));
}

TEST_F(ArchiveExtractionTest, RefusesTooManyEntriesTooLongPathsAndTooDeepTrees) {
  ExtractionLimits limits;
  limits.maxEntries = 20;
  std::vector<ArchiveEntry> many{folderEntry("Q.mailbundle")};
  for (int i = 0; i < 25; ++i) many.push_back(fileEntry("Q.mailbundle/f" + std::to_string(i), "x"));
  EXPECT_FALSE(extract(buildArchive(ArchiveFormat::TarGz, many), limits));

  // Empty-named entries count too, so they cannot make the walk endless.
  std::vector<ArchiveEntry> roots{folderEntry("Q.mailbundle")};
  for (int i = 0; i < 25; ++i) roots.push_back(folderEntry("./"));
  EXPECT_FALSE(checkArchive(buildArchive(ArchiveFormat::TarGz, roots), limits));

  std::string deep = "Q.mailbundle";
  for (int i = 0; i < 70; ++i) deep += "/d";
  EXPECT_FALSE(extract(buildArchive(ArchiveFormat::TarGz, {folderEntry("Q.mailbundle"), fileEntry(deep, "x")})));
  EXPECT_FALSE(checkArchive(buildArchive(ArchiveFormat::TarGz, {folderEntry("Q.mailbundle"), fileEntry("Q.mailbundle/" + std::string(1100, 'n'), "x")})));
}

TEST_F(ArchiveExtractionTest, RefusesWhatIsNotAnArchiveOrIsCutShort) {
  EXPECT_FALSE(extract("this is not an archive at all"));
  EXPECT_FALSE(extract(QByteArray()));
  const QByteArray whole = buildArchive(ArchiveFormat::TarGz, goodBundle());
  EXPECT_FALSE(extract(whole.left(whole.size() / 2)));
  // (A zip cut short after a complete entry can still read as a smaller zip; the signature over the
  // whole file, checked before unpacking, is what catches a truncated download.)
  const QByteArray xz = buildArchive(ArchiveFormat::TarXz, goodBundle());
  EXPECT_FALSE(checkArchive(xz.left(xz.size() - 8)));
}

TEST_F(ArchiveExtractionTest, NeverReplacesSomethingAlreadyThere) {
  // A folder that is not empty (say, a leftover) is never overwritten file by file.
  writeFile(destination + QStringLiteral("/Q.mailbundle/Contents/Info.plist"), "old");
  EXPECT_FALSE(extract(buildArchive(ArchiveFormat::TarGz, goodBundle())));
  EXPECT_EQ(readFile(destination + QStringLiteral("/Q.mailbundle/Contents/Info.plist")), "old");
}

TEST(LinkContainment, FollowsTheRule) {
  const EntryPath link{"B", "Contents", "MacOS", "l"};
  EXPECT_TRUE(isContainedLinkTarget(link, "x"));
  EXPECT_TRUE(isContainedLinkTarget(link, "../Resources/x"));
  EXPECT_TRUE(isContainedLinkTarget(link, "../.."));  // the bundle itself
  EXPECT_TRUE(isContainedLinkTarget(link, "./a/./b"));
  EXPECT_FALSE(isContainedLinkTarget(link, "../../.."));
  EXPECT_FALSE(isContainedLinkTarget(link, "a/../b"));
  EXPECT_FALSE(isContainedLinkTarget(link, "/B"));
  EXPECT_FALSE(isContainedLinkTarget(link, ""));
  EXPECT_FALSE(isContainedLinkTarget({"B", "l"}, ".."));
  EXPECT_TRUE(isContainedLinkTarget({"B", "l"}, "."));
}

}  // namespace
}  // namespace updater
