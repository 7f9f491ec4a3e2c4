#include "updater/skipped_version.h"
#include "updater/update_settings.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

using updater::rememberSkippedVersion;
using updater::skippedVersion;

namespace {

// Each test uses a domain of its own in the sandbox's preferences folder.
class SkippedVersionTest : public testing::Test {
 protected:
  void SetUp() override {
    domain = QStringLiteral("com.quillane.test.%1")
                 .arg(QString::fromLatin1(testing::UnitTest::GetInstance()->current_test_info()->name()));
    const QString folder = QDir::homePath() + QStringLiteral("/Library/Preferences");
    QDir().mkpath(folder);
    path = folder + QLatin1Char('/') + domain + QStringLiteral(".plist");
  }
  void write(const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
  }
  QByteArray read() const {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  }
  QString domain;
  QString path;
};

TEST_F(SkippedVersionTest, RemembersAndReplacesTheVersionKeepingOtherSettings) {
  EXPECT_EQ(skippedVersion(domain), QString());
  write("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
        "<key>ShowColumns</key><true/><key>Accounts</key><array><string>a</string></array>"
        "</dict></plist>\n");
  ASSERT_TRUE(rememberSkippedVersion(domain, QStringLiteral("1.1")));
  EXPECT_EQ(skippedVersion(domain), QStringLiteral("1.1"));
  ASSERT_TRUE(rememberSkippedVersion(domain, QStringLiteral("1.2 (beta)")));
  EXPECT_EQ(skippedVersion(domain), QStringLiteral("1.2 (beta)"));
  const QByteArray stored = read();
  EXPECT_TRUE(stored.contains("ShowColumns")) << stored.toStdString();
  EXPECT_TRUE(stored.contains("<string>a</string>")) << stored.toStdString();
}

TEST_F(SkippedVersionTest, CreatesTheDomainWhenThereIsNone) {
  ASSERT_FALSE(QFile::exists(path));
  ASSERT_TRUE(rememberSkippedVersion(domain, QStringLiteral("2.0")));
  EXPECT_TRUE(QFile::exists(path));
  EXPECT_EQ(skippedVersion(domain), QStringLiteral("2.0"));
}

TEST_F(SkippedVersionTest, NeverOverwritesADomainItCannotRead) {
  for (const QByteArray& unreadable :
       {QByteArray("this is not a property list"),
        QByteArray("<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>")}) {
    write(unreadable);
    const updater::Status saved = rememberSkippedVersion(domain, QStringLiteral("1.1"));
    EXPECT_FALSE(saved);
    EXPECT_EQ(read(), unreadable);
    EXPECT_EQ(skippedVersion(domain), QString());
  }
}

TEST_F(SkippedVersionTest, IgnoresAValueOfTheWrongKind) {
  write("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
        "<key>SUSkippedVersion</key><integer>2</integer></dict></plist>");
  EXPECT_EQ(skippedVersion(domain), QString());
}

// The rollout group and the channels live in the same domain.
using UpdateSettingsTest = SkippedVersionTest;

TEST_F(UpdateSettingsTest, TheRolloutGroupIsDrawnOnceAndKept) {
  write("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Other</key><true/></dict></plist>");
  EXPECT_EQ(updater::updateGroup(domain, [] { return 4; }), 4);
  EXPECT_EQ(updater::updateGroup(domain, [] { return 1; }), 4) << "drawn again";
  EXPECT_TRUE(read().contains("Other"));
  write("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
        "<key>SUUpdateGroupIdentifier</key><integer>9</integer></dict></plist>");
  EXPECT_EQ(updater::updateGroup(domain, [] { return 2; }), 2) << "a group out of range is drawn anew";
  EXPECT_EQ(updater::updateGroup(domain, [] { return 5; }), 2);
  const int drawn = updater::updateGroup(QStringLiteral("com.quillane.test.fresh"));
  EXPECT_TRUE(drawn >= 0 && drawn <= 6) << drawn;
}

TEST_F(UpdateSettingsTest, AnUnreadableDomainKeepsItsFileAndTheGroupServesOneCheck) {
  const QByteArray unreadable("not a property list");
  write(unreadable);
  EXPECT_EQ(updater::updateGroup(domain, [] { return 3; }), 3);
  EXPECT_EQ(read(), unreadable);
}

TEST_F(UpdateSettingsTest, ChannelsAreTheStringsOfTheAllowedChannelsArray) {
  EXPECT_EQ(updater::allowedChannels(domain), QStringList());
  write("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>SUAllowedChannels</key>"
        "<array><string>beta</string><integer>3</integer><string></string><string>nightly</string></array></dict></plist>");
  EXPECT_EQ(updater::allowedChannels(domain), QStringList({QStringLiteral("beta"), QStringLiteral("nightly")}));
  write("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>SUAllowedChannels</key>"
        "<string>beta</string></dict></plist>");
  EXPECT_EQ(updater::allowedChannels(domain), QStringList());
}

}  // namespace
