// Sizes on disk, checked against du(1) on the same trees.
#include "removal-tool/disk_usage.h"

#include "installed_plugin.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <gtest/gtest.h>

#include <unistd.h>

namespace {

std::optional<std::uint64_t> duBytes(const QString& path) {
  QProcess du;
  du.start("du", {"-s", "--block-size=1", path});
  if (!du.waitForFinished(10000) || du.exitCode() != 0) return std::nullopt;
  return QString::fromUtf8(du.readAllStandardOutput()).section('\t', 0, 0).toULongLong();
}

class DiskUsageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testing_support::homeIsSandbox()) << "run through CTest, in a sandbox home";
    root = QDir::homePath() + "/usage";
    testing_support::removeTree(root);
  }
  void TearDown() override { testing_support::removeTree(root); }
  QString root;
};

TEST_F(DiskUsageTest, AgreesWithDuOnATreeWithLinksAndHardLinks) {
  const QString tree = root + "/Quillane.mailbundle";
  testing_support::writeFile(tree + "/Contents/small", "x");
  testing_support::writeFile(tree + "/Contents/big", QByteArray(300000, 'b'));
  testing_support::writeFile(tree + "/Contents/Deep/er/still", QByteArray(5000, 'd'));
  testing_support::writeFile(root + "/outside/huge", QByteArray(2000000, 'h'));
  ASSERT_TRUE(QFile::link(root + "/outside", tree + "/Contents/LinkToDir"));
  ASSERT_TRUE(QFile::link(root + "/outside/huge", tree + "/Contents/LinkToFile"));
  ASSERT_EQ(link(QFile::encodeName(tree + "/Contents/big").constData(),
                 QFile::encodeName(tree + "/Contents/big-again").constData()),
            0);

  const auto expected = duBytes(tree);
  ASSERT_TRUE(expected.has_value()) << "du is part of coreutils";
  const auto measured = diskUsageAtPath(tree);
  ASSERT_TRUE(measured.has_value());
  EXPECT_EQ(*measured, *expected);
  EXPECT_LT(*measured, 2000000u) << "the linked file outside is not counted";
  EXPECT_GE(*measured, 300000u);
}

TEST_F(DiskUsageTest, APlainFileAndAMissingPath) {
  testing_support::writeFile(root + "/file", QByteArray(10000, 'f'));
  EXPECT_EQ(diskUsageAtPath(root + "/file"), duBytes(root + "/file"));
  EXPECT_EQ(diskUsageAtPath(root + "/missing"), std::nullopt);
}

}  // namespace
