#include "tools/update-publisher/publisher.h"

#include "updater/core/ed25519_signing.h"
#include "updater/core/item_selection.h"
#include "updater/core/signed_feed.h"
#include "support/archive_builder.h"
#include "support/bundle_fixtures.h"

#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace updater {
namespace {

using namespace updater::testing;

struct Outcome {
  int status;
  QString out;
  QString err;
};

class UpdatePublisherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    key = path("publisher.key");
    Outcome made = publisher({"keygen", "--key", key});
    ASSERT_EQ(made.status, 0) << made.err.toStdString();
    Result<PublicKey> decoded = decodePublicKey(made.out.trimmed());
    ASSERT_TRUE(decoded);
    publicKey = *decoded;
  }

  QString path(const QString& name) const { return dir.filePath(name); }

  Outcome publisher(const QStringList& arguments) {
    QString out, err;
    QTextStream outStream(&out), errStream(&err);
    const int status = publisher::runPublisher(arguments, outStream, errStream);
    outStream.flush();
    errStream.flush();
    return {status, out, err};
  }

  // An archive of the plug-in at version.
  QString archiveOf(const QString& version, const QString& name) {
    BundleSpec bundleShape;
    bundleShape.version = version;
    bundleShape.shortVersion = version + QStringLiteral(" (display)");
    const QString bundle = makeBundle(path(QStringLiteral("src-") + name), QStringLiteral("Quillane.mailbundle"), bundleShape);
    const QString archive = path(name);
    writeFile(archive, buildArchive(ArchiveFormat::TarGz, entriesFromTree(bundle, "Quillane.mailbundle")));
    return archive;
  }

  Result<Appcast> readSigned(const QString& feed, const QDateTime& now = QDateTime::currentDateTimeUtc()) {
    return readFeed(readFile(feed), FeedPolicy{true, publicKey, now});
  }

  QTemporaryDir dir;
  QString key;
  PublicKey publicKey;
};

TEST_F(UpdatePublisherTest, KeygenProtectsThePrivateKey) {
  struct stat info {};
  ASSERT_EQ(::stat(QFile::encodeName(key).constData(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  const QByteArray before = readFile(key);
  Outcome again = publisher({"keygen", "--key", key});
  EXPECT_EQ(again.status, 1);
  EXPECT_TRUE(again.out.isEmpty());
  EXPECT_EQ(readFile(key), before);

  Outcome shown = publisher({"public-key", "--key", key});
  EXPECT_EQ(shown.status, 0);
  EXPECT_EQ(shown.out.trimmed(), encodePublicKey(publicKey));
}

TEST_F(UpdatePublisherTest, SignPrintsASignatureTheUpdaterAccepts) {
  const QString archive = archiveOf(QStringLiteral("2.0"), QStringLiteral("a.tar.gz"));
  Outcome signedRun = publisher({"sign", "--key", key, archive});
  ASSERT_EQ(signedRun.status, 0) << signedRun.err.toStdString();
  const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("^sparkle:edSignature=\"([^\"]+)\" length=\"(\\d+)\"\\n$")).match(signedRun.out);
  ASSERT_TRUE(m.hasMatch()) << signedRun.out.toStdString();
  EXPECT_EQ(m.captured(2).toLongLong(), QFileInfo(archive).size());
  EXPECT_TRUE(verifyArchiveSignature(archive, m.captured(1), m.captured(2).toLongLong(), publicKey));

  EXPECT_EQ(publisher({"sign", "--key", key, path("missing")}).status, 1);
  EXPECT_EQ(publisher({"sign", "--key", key}).status, 2);
  EXPECT_EQ(publisher({"sign", "--key", path("nokey"), archive}).status, 1);
}

TEST_F(UpdatePublisherTest, FeedMakesASignedFeedFromTheArchivesOwnVersion) {
  const QString feed = path("appcast.xml");
  const QString first = archiveOf(QStringLiteral("1.1"), QStringLiteral("1.1.tar.gz"));
  const QString second = archiveOf(QStringLiteral("1.2"), QStringLiteral("1.2.tar.gz"));
  ASSERT_EQ(publisher({"feed", "--key", key, "--feed", feed, "--archive", first, "--url", "https://u/1.1.tar.gz"}).status, 0);
  Outcome added = publisher({"feed", "--key", key, "--feed", feed, "--archive", second, "--url", "https://u/1.2.tar.gz",
                         "--release-notes-link", "https://u/notes.html", "--critical", "--expires-in-days", "2"});
  ASSERT_EQ(added.status, 0) << added.err.toStdString();

  Result<Appcast> appcast = readSigned(feed);
  ASSERT_TRUE(appcast) << appcast.error().message.toStdString();
  ASSERT_EQ(appcast->items.size(), 2u);
  const AppcastItem& newest = appcast->items[0];
  EXPECT_EQ(newest.versionString, u"1.2");
  EXPECT_EQ(newest.displayVersionString, u"1.2 (display)");
  EXPECT_EQ(newest.fileURL, u"https://u/1.2.tar.gz");
  EXPECT_EQ(newest.releaseNotesURL, u"https://u/notes.html");
  EXPECT_TRUE(newest.isCriticalUpdate);
  EXPECT_TRUE(verifyArchiveSignature(second, newest.edSignature, newest.contentLength, publicKey));
  EXPECT_EQ(appcast->items[1].versionString, u"1.1");
  EXPECT_FALSE(appcast->items[1].isCriticalUpdate);
  // --expires-in-days 2: valid tomorrow, expired in three days.
  EXPECT_TRUE(readSigned(feed, QDateTime::currentDateTimeUtc().addDays(1)));
  EXPECT_FALSE(readSigned(feed, QDateTime::currentDateTimeUtc().addDays(3)));
}

TEST_F(UpdatePublisherTest, DeltasAreVerifiedSignedAndListedUnderTheirItem) {
  const QString old = archiveOf(QStringLiteral("1.1"), QStringLiteral("1.1.tar.gz"));
  const QString next = archiveOf(QStringLiteral("1.2"), QStringLiteral("1.2.tar.gz"));
  const QString delta = path("1.2-from-1.1.delta");
  Outcome made = publisher({"delta", "--key", key, "--from", old, "--to", next, "-o", delta});
  ASSERT_EQ(made.status, 0) << made.err.toStdString();
  EXPECT_TRUE(made.out.startsWith(QStringLiteral("sparkle:deltaFrom=\"1.1\" sparkle:edSignature=\""))) << made.out.toStdString();

  const QString feed = path("appcast.xml");
  Outcome listed = publisher({"feed", "--key", key, "--feed", feed, "--archive", next, "--url", "https://u/1.2.tar.gz",
                              "--delta", delta, "--delta-url", "https://u/1.2-from-1.1.delta"});
  ASSERT_EQ(listed.status, 0) << listed.err.toStdString();
  Result<Appcast> appcast = readSigned(feed);
  ASSERT_TRUE(appcast) << appcast.error().message.toStdString();
  ASSERT_EQ(appcast->items.size(), 1u);
  const AppcastDelta* offered = appcast->items[0].deltaFrom(QStringLiteral("1.1"));
  ASSERT_NE(offered, nullptr);
  EXPECT_EQ(offered->fileURL, u"https://u/1.2-from-1.1.delta");
  EXPECT_TRUE(verifyArchiveSignature(delta, offered->edSignature, offered->contentLength, publicKey));
  EXPECT_EQ(appcast->items[0].deltaFrom(QStringLiteral("1.1.0")), nullptr) << "only the exact version";

  EXPECT_EQ(publisher({"verify-delta", "--from", old, "--to", next, delta}).status, 0);
  Outcome other = publisher({"verify-delta", "--from", old, "--to", archiveOf(QStringLiteral("1.3"), QStringLiteral("1.3.tar.gz")), delta});
  EXPECT_EQ(other.status, 1);
  EXPECT_TRUE(other.err.contains(QStringLiteral("does not reproduce"))) << other.err.toStdString();
  EXPECT_EQ(publisher({"feed", "--key", key, "--feed", feed, "--archive", next, "--url", "u", "--delta", delta}).status, 2);
}

TEST_F(UpdatePublisherTest, RepublishingAVersionReplacesItsItemInPlace) {
  const QString feed = path("appcast.xml");
  const QString a = archiveOf(QStringLiteral("1.1"), QStringLiteral("a.tar.gz"));
  const QString b = archiveOf(QStringLiteral("1.2"), QStringLiteral("b.tar.gz"));
  ASSERT_EQ(publisher({"feed", "--key", key, "--feed", feed, "--archive", a, "--url", "https://u/a"}).status, 0);
  ASSERT_EQ(publisher({"feed", "--key", key, "--feed", feed, "--archive", b, "--url", "https://u/b"}).status, 0);
  ASSERT_EQ(publisher({"feed", "--key", key, "--feed", feed, "--archive", a, "--url", "https://u/a-fixed"}).status, 0);
  Result<Appcast> appcast = readSigned(feed);
  ASSERT_TRUE(appcast);
  ASSERT_EQ(appcast->items.size(), 2u);
  EXPECT_EQ(appcast->items[0].fileURL, u"https://u/b");
  EXPECT_EQ(appcast->items[1].fileURL, u"https://u/a-fixed");
}

TEST_F(UpdatePublisherTest, KeepsWhatThePublisherWroteByHand) {
  const QString feed = path("appcast.xml");
  const QByteArray handWritten = R"(<?xml version="1.0" encoding="utf-8"?>
<!-- Quillane's feed; edit with care -->
<rss version="2.0" xmlns:s="http://www.andymatuschak.org/xml-namespaces/sparkle" xmlns:dc="http://purl.org/dc/elements/1.1/">
	<channel>
		<title>Quillane</title>
		<dc:creator>Quillane &amp; Co</dc:creator>
		<item>
			<title>Old</title>
			<s:version>1.0</s:version>
			<enclosure url="https://u/1.0" length="3" s:edSignature="c2ln"/>
		</item>
	</channel>
</rss>
)";
  writeFile(feed, handWritten);
  ASSERT_EQ(publisher({"feed", "--unsigned", "--key", key, "--feed", feed, "--archive",
                       archiveOf(QStringLiteral("1.1"), QStringLiteral("x.tar.gz")), "--url", "https://u/1.1",
                       "--description", "<b>Faster</b> & safer"}).status, 0);
  const QByteArray edited = readFile(feed);
  // Everything that was there is still there, byte for byte, around the new item.
  const qsizetype at = edited.indexOf("<item>");
  const qsizetype oldAt = edited.indexOf("<item>\n\t\t\t<title>Old");
  ASSERT_GT(oldAt, at);
  EXPECT_EQ(edited.left(at), handWritten.left(handWritten.indexOf("<item>")).replace(
                                 "xmlns:dc=\"http://purl.org/dc/elements/1.1/\"",
                                 "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\""));
  EXPECT_EQ(edited.mid(oldAt), handWritten.mid(handWritten.indexOf("<item>")));

  Result<Appcast> appcast = readFeed(edited, FeedPolicy{});
  ASSERT_TRUE(appcast) << appcast.error().message.toStdString();
  ASSERT_EQ(appcast->items.size(), 2u);
  EXPECT_EQ(appcast->items[0].itemDescription, u"<b>Faster</b> & safer");
  EXPECT_EQ(appcast->items[1].versionString, u"1.0");
  EXPECT_FALSE(splitSignedFeed(edited)) << "--unsigned leaves the feed unsigned";
}

TEST_F(UpdatePublisherTest, RefusesAndLeavesTheFeedAlone) {
  const QString feed = path("appcast.xml");
  const QString good = archiveOf(QStringLiteral("1.1"), QStringLiteral("g.tar.gz"));
  auto refusedWith = [&](const QByteArray& existing, const QStringList& extra = {}) {
    writeFile(feed, existing);
    Outcome run = publisher(QStringList{"feed", "--key", key, "--feed", feed, "--archive", good, "--url", "https://u/g"} + extra);
    return run.status != 0 && readFile(feed) == existing;
  };
  EXPECT_TRUE(refusedWith("<?xml version=\"1.0\"?><!DOCTYPE rss [<!ENTITY a \"b\">]><rss><channel>&a;</channel></rss>"));
  EXPECT_TRUE(refusedWith("not xml"));
  EXPECT_TRUE(refusedWith("<rss xmlns:sparkle=\"urn:something-else\"><channel/></rss>"));
  EXPECT_TRUE(refusedWith("<rss><channel/></rss>", {"--expires", "tomorrow"}));

  // An archive whose bundle has no readable version is not published unless the version is given.
  const QString broken = path("broken.tar.gz");
  writeFile(broken, buildArchive(ArchiveFormat::TarGz, {folderEntry("Q.mailbundle"), fileEntry("Q.mailbundle/x", "x")}));
  QFile::remove(feed);
  EXPECT_EQ(publisher({"feed", "--key", key, "--feed", feed, "--archive", broken, "--url", "https://u/b"}).status, 1);
  EXPECT_FALSE(QFile::exists(feed));
  EXPECT_EQ(publisher({"feed", "--key", key, "--feed", feed, "--archive", broken, "--url", "https://u/b", "--version", "9"}).status, 0);

  EXPECT_EQ(publisher({"feed", "--feed", feed, "--archive", good, "--url", "u"}).status, 2);  // neither --key nor --unsigned
  EXPECT_EQ(publisher({"frobnicate"}).status, 2);
  EXPECT_EQ(publisher({}).status, 2);
}

TEST_F(UpdatePublisherTest, SignFeedRenewsTheExpiry) {
  const QString feed = path("appcast.xml");
  ASSERT_EQ(publisher({"feed", "--key", key, "--feed", feed, "--archive", archiveOf(QStringLiteral("1.1"), QStringLiteral("s.tar.gz")),
                       "--url", "https://u/s", "--expires", "2020-01-01T00:00:00Z"}).status, 0);
  EXPECT_FALSE(readSigned(feed)) << "expired";
  ASSERT_EQ(publisher({"sign-feed", "--key", key, "--feed", feed, "--expires-in-days", "10"}).status, 0);
  Result<Appcast> renewed = readSigned(feed);
  ASSERT_TRUE(renewed) << renewed.error().message.toStdString();
  EXPECT_EQ(readFile(feed).count("<qf:expires>"), 1);
  EXPECT_EQ(readFile(feed).count("quillane-feed-signature"), 1);
}

TEST_F(UpdatePublisherTest, FeedsMoveForwardAndRotateKeyChainsTheirKeys) {
  const QString feed = path("appcast.xml");
  const QString next = path("next.key");
  const QString recovery = path("recovery.key");
  const QString stranger = path("stranger.key");
  for (const QString& file : {next, recovery, stranger}) ASSERT_EQ(publisher({"keygen", "--key", file}).status, 0);
  ASSERT_EQ(publisher({"feed", "--key", key, "--feed", feed, "--archive", archiveOf(QStringLiteral("1.1"), QStringLiteral("s.tar.gz")),
                       "--url", "https://u/s"}).status, 0);
  ASSERT_EQ(publisher({"sign-feed", "--key", key, "--feed", feed}).status, 0);
  EXPECT_TRUE(readFile(feed).contains("<qf:serial>2</qf:serial>")) << readFile(feed).toStdString();

  Outcome rotated = publisher({"rotate-key", "--feed", feed, "--key", key, "--new-key", next});
  ASSERT_EQ(rotated.status, 0) << rotated.err.toStdString();
  EXPECT_TRUE(rotated.out.startsWith(QStringLiteral("key statement 1: from now on "))) << rotated.out.toStdString();
  ASSERT_EQ(publisher({"rotate-key", "--feed", feed, "--key", recovery, "--new-key", stranger}).status, 0);
  EXPECT_TRUE(readFile(feed).contains("<qf:serial>4</qf:serial>"));
  // Signing with a key the chain has left behind would make a feed every agent refuses.
  const QByteArray before = readFile(feed);
  Outcome stale = publisher({"sign-feed", "--key", next, "--feed", feed});
  EXPECT_EQ(stale.status, 1);
  EXPECT_TRUE(stale.err.contains(QStringLiteral("key statement 2"))) << stale.err.toStdString();
  EXPECT_EQ(publisher({"rotate-key", "--feed", feed, "--key", stranger, "--new-key", key}).status, 1) << "a key already in the chain";
  EXPECT_EQ(readFile(feed), before);

  Outcome lint = publisher({"lint", feed, "--installed", "1.0"});
  EXPECT_EQ(lint.status, 0) << lint.out.toStdString() << lint.err.toStdString();
  const QString strangerKey = publisher({"public-key", "--key", stranger}).out.trimmed();
  EXPECT_TRUE(lint.out.contains(QStringLiteral("Feed serial: 4\n"))) << lint.out.toStdString();
  EXPECT_TRUE(lint.out.contains(QStringLiteral("(another key: agents apply it only if that is one of the plug-in's recovery keys)")));
  EXPECT_TRUE(lint.out.contains(QStringLiteral("Key in force: %1").arg(strangerKey)));
  EXPECT_TRUE(lint.out.contains(QStringLiteral("Feed signature: by the key in force")));
  EXPECT_TRUE(lint.out.contains(QStringLiteral("1.1 (display): archive must be signed by %1").arg(strangerKey))) << lint.out.toStdString();

  // After a leak, the recovery statement may jump far above anything the thief published.
  const QString fresh = path("fresh.key");
  ASSERT_EQ(publisher({"keygen", "--key", fresh}).status, 0);
  EXPECT_EQ(publisher({"rotate-key", "--feed", feed, "--key", recovery, "--new-key", fresh, "--number", "2"}).status, 1);
  ASSERT_EQ(publisher({"rotate-key", "--feed", feed, "--key", recovery, "--new-key", fresh, "--number", "1000000"}).status, 0);
  EXPECT_TRUE(publisher({"lint", feed, "--installed", "1.0"}).out.contains(QStringLiteral("statement 1000000: signing key")));
}

TEST_F(UpdatePublisherTest, FeedWritesReleaseManagementTheReaderUnderstands) {
  const QString feed = path("appcast.xml");
  const QString archive = archiveOf(QStringLiteral("1.2"), QStringLiteral("1.2.tar.gz"));
  Outcome phased = publisher({"feed", "--unsigned", "--feed", feed, "--archive", archive, "--url", "https://u/1.2",
                              "--channel", "beta", "--phased-rollout-interval", "3600", "--critical-below", "1.1",
                              "--minimum-autoupdate-version", "1.0"});
  ASSERT_EQ(phased.status, 0) << phased.err.toStdString();
  Outcome announced = publisher({"feed", "--unsigned", "--feed", feed, "--version", "3.0", "--informational",
                                 "--below-version", "2.0", "--link", "https://quillane.example/3"});
  ASSERT_EQ(announced.status, 0) << announced.err.toStdString();
  Result<Appcast> appcast = parseAppcast(readFile(feed));
  ASSERT_TRUE(appcast) << appcast.error().message.toStdString();
  ASSERT_EQ(appcast->items.size(), 2u);
  const AppcastItem& informational = appcast->items[0];
  EXPECT_TRUE(informational.isInformationalUpdate);
  EXPECT_EQ(informational.informationalBelowVersion, u"2.0");
  EXPECT_EQ(informational.link, u"https://quillane.example/3");
  EXPECT_FALSE(informational.hasEnclosure);
  const AppcastItem& beta = appcast->items[1];
  EXPECT_EQ(beta.channel, u"beta");
  EXPECT_EQ(beta.phasedRolloutInterval, u"3600");
  EXPECT_TRUE(beta.isCriticalUpdate);
  EXPECT_EQ(beta.criticalBelowVersion, u"1.1");
  EXPECT_EQ(beta.minimumAutoupdateVersion, u"1.0");
  const std::optional<QDateTime> published = parsePubDate(beta.pubDate);
  ASSERT_TRUE(published) << beta.pubDate.toStdString();

  // Republishing keeps the first publication date, or the rollout would start over.
  QFile::copy(feed, path("before.xml"));
  QThread::sleep(1);
  ASSERT_EQ(publisher({"feed", "--unsigned", "--feed", feed, "--archive", archive, "--url", "https://u/1.2-fixed",
                       "--phased-rollout-interval", "7200"}).status, 0);
  Result<Appcast> republished = parseAppcast(readFile(feed));
  ASSERT_TRUE(republished);
  EXPECT_EQ(republished->items[1].fileURL, u"https://u/1.2-fixed");
  EXPECT_EQ(republished->items[1].pubDate, beta.pubDate);

  const QByteArray before = readFile(feed);
  for (const QStringList& wrong : {QStringList{"--phased-rollout-interval", "soon"}, QStringList{"--below-version", "2.0"},
                                   QStringList{"--phased-rollout-interval", "-1"}, QStringList{"--channel", " "}}) {
    EXPECT_EQ(publisher(QStringList{"feed", "--unsigned", "--feed", feed, "--archive", archive, "--url", "https://u/x"} + wrong).status, 2)
        << wrong.join(u' ').toStdString();
  }
  EXPECT_EQ(readFile(feed), before);
}

TEST_F(UpdatePublisherTest, LintShowsWhatEachCheckOffersAndWhy) {
  const QString feed = path("appcast.xml");
  writeFile(feed, R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle"><channel>
<item><sparkle:version>1.3</sparkle:version><sparkle:channel>beta</sparkle:channel><enclosure url="https://u/1.3" length="3"/></item>
<item><sparkle:version>1.2</sparkle:version><pubDate>Mon, 07 Dec 2026 10:00:00 +0000</pubDate>
  <sparkle:phasedRolloutInterval>86400</sparkle:phasedRolloutInterval><enclosure url="https://u/1.2" length="3"/></item>
<item><sparkle:version>1.1</sparkle:version><enclosure url="https://u/1.1" length="3"/></item>
</channel></rss>)");
  Outcome stage = publisher({"lint", feed, "--installed", "1.0", "--group", "6", "--now", "2026-12-08T12:00:00Z"});
  ASSERT_EQ(stage.status, 0) << stage.err.toStdString();
  EXPECT_EQ(stage.out, QStringLiteral(
      "Feed serial: 0\n"
      "Key chain: no key statements; the plug-ins' SUPublicEDKey signs everything\n"
      "Feed signature: none (the feed is not signed)\n"
      "  1.3: archive must be signed by the plug-ins' SUPublicEDKey\n"
      "  1.2: archive must be signed by the plug-ins' SUPublicEDKey\n"
      "  1.1: archive must be signed by the plug-ins' SUPublicEDKey\n"
      "installed 1.0; channels default; group 6; skipped none; at 2026-12-08T12:00:00Z\n"
      "background check: offers 1.1; 1.2 reaches group 6 at 2026-12-13T10:00:00Z\n"
      "  1.3  channel \"beta\" is not followed: invisible\n"
      "  1.2  phased: group 6 gets it from 2026-12-13T10:00:00Z\n"
      "  1.1  update: offered\n"
      "user check: offers 1.2\n"
      "  1.3  channel \"beta\" is not followed: invisible\n"
      "  1.2  update: offered\n"
      "  1.1  update\n"));
  Outcome beta = publisher({"lint", feed, "--installed", "1.0", "--channels", "beta,nightly"});
  EXPECT_TRUE(beta.out.contains(QStringLiteral("background check: offers 1.3"))) << beta.out.toStdString();

  EXPECT_EQ(publisher({"lint", feed}).status, 2);
  EXPECT_EQ(publisher({"lint", feed, "--installed", "1.0", "--group", "7"}).status, 2);
  EXPECT_EQ(publisher({"lint", feed, "--installed", "1.0", "--now", "tomorrow"}).status, 2);
  EXPECT_EQ(publisher({"lint", path("missing.xml"), "--installed", "1.0"}).status, 1);
}

// A feed that serves another platform too: our item names its platform, and republishing it
// keeps the other platform's enclosure as the publisher wrote it.
TEST_F(UpdatePublisherTest, FeedNamesOurPlatformAndKeepsTheOthers) {
  const QString feed = path("appcast.xml");
  const QByteArray windows = R"(<enclosure sparkle:os="windows" url="https://u/1.2.exe" length="5"/>)";
  writeFile(feed, R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle"><channel>
  <item><sparkle:version>1.2</sparkle:version><enclosure url="https://u/old" length="1"/>
    )" + windows + R"(</item>
</channel></rss>)");
  const QString archive = archiveOf(QStringLiteral("1.2"), QStringLiteral("1.2.tar.gz"));
  Outcome published = publisher({"feed", "--unsigned", "--feed", feed, "--archive", archive, "--url", "https://u/1.2", "--os", "linux"});
  ASSERT_EQ(published.status, 0) << published.err.toStdString();
  EXPECT_TRUE(readFile(feed).contains(windows));
  Result<Appcast> appcast = parseAppcast(readFile(feed));
  ASSERT_TRUE(appcast);
  ASSERT_EQ(appcast->items.size(), 1u);
  EXPECT_EQ(appcast->items[0].fileURL, u"https://u/1.2");
  EXPECT_EQ(appcast->items[0].otherPlatforms, QStringList{"windows"});
  EXPECT_TRUE(readFile(feed).contains(R"(sparkle:os="linux")"));

  // The other platform's publishing job replaces only its own enclosure.
  ASSERT_EQ(publisher({"feed", "--unsigned", "--feed", feed, "--archive", archive, "--url", "https://u/1.2b.exe", "--os", "windows"}).status, 0);
  EXPECT_FALSE(readFile(feed).contains(windows));
  appcast = parseAppcast(readFile(feed));
  ASSERT_TRUE(appcast);
  EXPECT_EQ(appcast->items[0].fileURL, u"https://u/1.2");
  EXPECT_EQ(appcast->items[0].otherPlatforms, QStringList{"windows"});
  EXPECT_EQ(publisher({"feed", "--unsigned", "--feed", feed, "--archive", archive, "--url", "https://u/x", "--os", " "}).status, 2);
}

// A rollout that cannot apply reaches every group at once: for the publisher, an error.
TEST_F(UpdatePublisherTest, LintFailsOnAPhasedItemWithAnUnreadableDate) {
  const QString feed = path("appcast.xml");
  writeFile(feed, R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle"><channel>
<item><sparkle:version>1.3</sparkle:version><pubDate>soon</pubDate><sparkle:phasedRolloutInterval>60</sparkle:phasedRolloutInterval>
  <sparkle:tags><sparkle:criticalUpdate/></sparkle:tags><enclosure url="https://u/1.3" length="3"/></item>
<item><sparkle:version>1.2</sparkle:version><pubDate>Saturday, August 30th, 2008</pubDate>
  <sparkle:phasedRolloutInterval>86400</sparkle:phasedRolloutInterval><enclosure url="https://u/1.2" length="3"/></item>
<item><sparkle:version>1.1</sparkle:version><pubDate>dimanche</pubDate><enclosure url="https://u/1.1" length="3"/></item>
</channel></rss>)");
  Outcome linted = publisher({"lint", feed, "--installed", "1.2", "--now", "2026-12-08T12:00:00Z"});
  EXPECT_EQ(linted.status, 1);
  EXPECT_TRUE(linted.out.endsWith(QStringLiteral(
      "error: version 1.2 is phased but its pubDate \"Saturday, August 30th, 2008\" is unreadable; it is offered at once\n")))
      << linted.out.toStdString();
  EXPECT_EQ(linted.out.count(u"pubDate"), 1) << "the dates of unphased and critical items do not matter";
  EXPECT_TRUE(linted.err.contains(u"1 error")) << linted.err.toStdString();
}

// The installed program, as publishers and the other tests run it.
TEST_F(UpdatePublisherTest, TheProgramRuns) {
  const QString program = QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/self/exe"))).absolutePath() + QStringLiteral("/update-publisher");
  QProcess process;
  process.start(program, {QStringLiteral("keygen"), QStringLiteral("--key"), path("second.key")});
  ASSERT_TRUE(process.waitForFinished(30000));
  EXPECT_EQ(process.exitCode(), 0);
  EXPECT_TRUE(decodePublicKey(QString::fromLatin1(process.readAllStandardOutput())));
  process.start(program, {QStringLiteral("--help")});
  ASSERT_TRUE(process.waitForFinished(30000));
  EXPECT_TRUE(process.readAllStandardOutput().contains("keygen"));
}

}  // namespace
}  // namespace updater
