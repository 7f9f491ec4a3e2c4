#include "updater/core/appcast.h"

#include <gtest/gtest.h>

namespace updater {
namespace {

QByteArray feedWithItems(const QByteArray& items, const QByteArray& rootAttributes =
                                                      R"( xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle")") {
  return R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0")" + rootAttributes + R"(>
  <channel>
    <title>Quillane Updates</title>
)" + items + R"(
  </channel>
</rss>
)";
}

const QByteArray kTwoVersionStyles = feedWithItems(R"(
    <item>
      <title>Version 2.0</title>
      <sparkle:version>200</sparkle:version>
      <sparkle:shortVersionString>2.0</sparkle:shortVersionString>
      <sparkle:releaseNotesLink> https://updates.example/notes/2.0.html </sparkle:releaseNotesLink>
      <sparkle:criticalUpdate/>
      <pubDate>Mon, 07 Dec 2026 10:00:00 +0000</pubDate>
      <enclosure url="https://updates.example/Quillane-2.0.zip" length="1234" type="application/octet-stream"
                 sparkle:edSignature="c2lnbmF0dXJl"/>
    </item>
    <item>
      <title>Version 1.5</title>
      <description><![CDATA[<p>Fixes &amp; more</p>]]></description>
      <enclosure url="https://updates.example/Quillane-1.5.tar.xz" sparkle:version="150"
                 sparkle:shortVersionString="1.5" length="99"/>
    </item>)");

TEST(AppcastParsing, ReadsBothVersionStylesAndEveryField) {
  Result<Appcast> appcast = parseAppcast(kTwoVersionStyles);
  ASSERT_TRUE(appcast) << appcast.error().message.toStdString();
  EXPECT_EQ(appcast->title, u"Quillane Updates");
  ASSERT_EQ(appcast->items.size(), 2u);

  const AppcastItem& element = appcast->items[0];
  EXPECT_EQ(element.versionString, u"200");
  EXPECT_EQ(element.displayVersionString, u"2.0");
  EXPECT_EQ(element.releaseNotesURL, u"https://updates.example/notes/2.0.html");
  EXPECT_TRUE(element.isCriticalUpdate);
  EXPECT_EQ(element.fileURL, u"https://updates.example/Quillane-2.0.zip");
  EXPECT_EQ(element.contentLength, 1234);
  EXPECT_EQ(element.edSignature, u"c2lnbmF0dXJl");
  EXPECT_EQ(element.pubDate, u"Mon, 07 Dec 2026 10:00:00 +0000");

  const AppcastItem& attribute = appcast->items[1];
  EXPECT_EQ(attribute.versionString, u"150");
  EXPECT_EQ(attribute.displayVersionString, u"1.5");
  EXPECT_EQ(attribute.itemDescription, u"<p>Fixes &amp; more</p>");
  EXPECT_FALSE(attribute.isCriticalUpdate);
  EXPECT_TRUE(attribute.edSignature.isEmpty());
  EXPECT_EQ(attribute.contentLength, 99);
}

TEST(AppcastParsing, ElementVersionWinsOverAttributeAndShortVersionFallsBack) {
  Result<Appcast> appcast = parseAppcast(feedWithItems(R"(
    <item><sparkle:version>3</sparkle:version><enclosure url="u" sparkle:version="2" length="x"/></item>)"));
  ASSERT_TRUE(appcast);
  EXPECT_EQ(appcast->items[0].versionString, u"3");
  EXPECT_EQ(appcast->items[0].displayVersionString, u"3");
  EXPECT_EQ(appcast->items[0].contentLength, -1);  // "x" is no length
}

// The prefix is the document's choice; only the namespace URI counts.
TEST(AppcastParsing, MatchesTheNamespaceByUriNotByPrefix) {
  const QByteArray otherPrefix = feedWithItems(R"(<item><su:version>7</su:version><enclosure url="u" su:edSignature="s"/></item>)",
                                               R"( xmlns:su="http://www.andymatuschak.org/xml-namespaces/sparkle")");
  Result<Appcast> appcast = parseAppcast(otherPrefix);
  ASSERT_TRUE(appcast);
  EXPECT_EQ(appcast->items[0].versionString, u"7");
  EXPECT_EQ(appcast->items[0].edSignature, u"s");

  const QByteArray wrongUri = feedWithItems(R"(<item><sparkle:version>7</sparkle:version><enclosure url="u" sparkle:version="8"/></item>)",
                                            R"( xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces")");
  appcast = parseAppcast(wrongUri);
  ASSERT_TRUE(appcast);
  EXPECT_TRUE(appcast->items[0].versionString.isEmpty());
  EXPECT_FALSE(appcast->items[0].isInstallable());
}

// One enclosure per platform: ours by name beats one without a name, whatever the order;
// others are only noted, and so are deltas for them.
TEST(AppcastParsing, ChoosesTheEnclosureForOurPlatform) {
  Result<Appcast> appcast = parseAppcast(feedWithItems(R"(
    <item><sparkle:version>2</sparkle:version>
      <enclosure sparkle:os="windows" url="https://u/setup.exe" length="1" sparkle:version="9"/>
      <enclosure url="https://u/mac.zip" length="2"/>
      <enclosure sparkle:os=" Linux " url="https://u/linux.tar.xz" length="3" sparkle:edSignature="s"/>
      <enclosure sparkle:os="macos" url="https://u/other.zip" length="4"/>
      <sparkle:deltas>
        <enclosure sparkle:os="windows" sparkle:deltaFrom="1" url="https://u/d.exe"/>
        <enclosure sparkle:deltaFrom="1" url="https://u/d"/>
      </sparkle:deltas></item>
    <item><enclosure sparkle:os="windows" url="https://u/w.exe" sparkle:version="3"/></item>)"));
  ASSERT_TRUE(appcast);
  const AppcastItem& mixed = appcast->items[0];
  EXPECT_EQ(mixed.fileURL, u"https://u/linux.tar.xz");
  EXPECT_EQ(mixed.contentLength, 3);
  EXPECT_EQ(mixed.edSignature, u"s");
  EXPECT_EQ(mixed.otherPlatforms, (QStringList{"windows", "macos"}));
  ASSERT_EQ(mixed.deltas.size(), 1u);
  EXPECT_EQ(mixed.deltas[0].fileURL, u"https://u/d");
  const AppcastItem& windowsOnly = appcast->items[1];
  EXPECT_FALSE(windowsOnly.hasEnclosure);
  EXPECT_FALSE(windowsOnly.isInstallable());
  EXPECT_EQ(windowsOnly.versionString, u"3");
  EXPECT_EQ(mixed.versionString, u"2");
}

TEST(AppcastParsing, ReadsCriticalInTagsAndInformationalVersions) {
  Result<Appcast> appcast = parseAppcast(feedWithItems(R"(
    <item><sparkle:version>2</sparkle:version><sparkle:tags>
      <sparkle:criticalUpdate />
    </sparkle:tags></item>
    <item><sparkle:version>3</sparkle:version><sparkle:criticalUpdate sparkle:version="1.5"/>
      <sparkle:tags><sparkle:criticalUpdate sparkle:version="1.2"/></sparkle:tags></item>
    <item><sparkle:version>4</sparkle:version><sparkle:criticalUpdate sparkle:version="1.5"/>
      <sparkle:tags><sparkle:criticalUpdate/></sparkle:tags>
      <sparkle:informationalUpdate><sparkle:version>1.1</sparkle:version><sparkle:belowVersion>1.0</sparkle:belowVersion>
        <sparkle:version> 1.3 </sparkle:version></sparkle:informationalUpdate></item>)"));
  ASSERT_TRUE(appcast);
  EXPECT_TRUE(appcast->items[0].isCriticalUpdate);
  EXPECT_TRUE(appcast->items[0].criticalBelowVersion.isEmpty());
  EXPECT_EQ(appcast->items[1].criticalBelowVersion, u"1.5") << "the widest limit counts";
  EXPECT_TRUE(appcast->items[2].criticalBelowVersion.isEmpty()) << "one element without a limit: critical for all";
  EXPECT_EQ(appcast->items[2].versionString, u"4");
  EXPECT_EQ(appcast->items[2].informationalVersions, (QStringList{"1.1", "1.3"}));
  EXPECT_EQ(appcast->items[2].informationalBelowVersion, u"1.0");
}

TEST(AppcastParsing, KeepsItemsWithoutEnclosureButNotAsInstallable) {
  Result<Appcast> appcast = parseAppcast(feedWithItems(R"(
    <item><title>Announcement</title><sparkle:version>9.0</sparkle:version><description>news</description></item>
    <item><sparkle:version>1.1</sparkle:version><enclosure url="https://u/1.1.zip" length="5"/></item>
    <item><sparkle:version>8.0</sparkle:version><enclosure length="5"/></item>)"));
  ASSERT_TRUE(appcast);
  ASSERT_EQ(appcast->items.size(), 3u);
  EXPECT_FALSE(appcast->items[0].hasEnclosure);
  EXPECT_FALSE(appcast->items[0].isInstallable());
  EXPECT_FALSE(appcast->items[2].isInstallable());  // an enclosure without url
  EXPECT_TRUE(appcast->items[1].isInstallable());
}

TEST(AppcastParsing, ReadsTheChannelExpiry) {
  const QByteArray ns = R"( xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle" xmlns:x="urn:quillane:xml-namespaces:signed-feed")";
  Result<Appcast> appcast = parseAppcast(feedWithItems("<x:expires>2027-03-01T12:00:00+02:00</x:expires>", ns));
  ASSERT_TRUE(appcast) << appcast.error().message.toStdString();
  ASSERT_TRUE(appcast->expiresAt);
  EXPECT_EQ(*appcast->expiresAt, QDateTime(QDate(2027, 3, 1), QTime(10, 0), Qt::UTC));

  EXPECT_FALSE(parseAppcast(feedWithItems("<x:expires>2027-03-01T12:00:00</x:expires>", ns)));  // no zone
  EXPECT_FALSE(parseAppcast(feedWithItems("<x:expires>soon</x:expires>", ns)));
  // Not in our namespace: not an expiry.
  appcast = parseAppcast(feedWithItems("<expires>soon</expires>"));
  ASSERT_TRUE(appcast);
  EXPECT_FALSE(appcast->expiresAt);
}

struct Refusal {
  const char* name;
  QByteArray document;
};

TEST(AppcastParsing, RefusesMalformedAndHostileDocuments) {
  const QByteArray billionLaughs = R"(<?xml version="1.0"?>
<!DOCTYPE rss [
  <!ENTITY a "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa">
  <!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;">
  <!ENTITY c "&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;">
  <!ENTITY d "&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;">
]>
<rss version="2.0"><channel><title>&d;&d;&d;&d;</title></channel></rss>)";
  const QByteArray externalEntity = R"(<?xml version="1.0"?>
<!DOCTYPE rss [<!ENTITY secret SYSTEM "file:///etc/passwd">]>
<rss version="2.0"><channel><title>&secret;</title></channel></rss>)";
  const QByteArray undeclaredEntity = R"(<rss version="2.0"><channel><title>&secret;</title></channel></rss>)";
  QByteArray huge = feedWithItems("<item><description>");
  huge.chop(huge.size() - huge.indexOf("</channel>"));
  huge += QByteArray(kMaxFeedBytes, 'x') + "</description></item></channel></rss>";

  const Refusal refusals[] = {
      {"empty", ""},
      {"not XML", "this is not a feed"},
      {"unclosed", "<rss version=\"2.0\"><channel><title>x</title>"},
      {"mismatched tags", "<rss><channel></rss></channel>"},
      {"root not rss", "<feed><channel/></feed>"},
      {"rss in a namespace", "<r:rss xmlns:r=\"urn:x\"><channel/></r:rss>"},
      {"no channel", "<rss version=\"2.0\"><item/></rss>"},
      {"billion laughs", billionLaughs},
      {"external entity", externalEntity},
      {"undeclared entity", undeclaredEntity},
      {"too large", huge},
      {"two roots", "<rss><channel/></rss><rss/>"},
  };
  for (const Refusal& r : refusals) {
    Result<Appcast> appcast = parseAppcast(r.document);
    EXPECT_FALSE(appcast) << r.name << ": " << (appcast ? appcast->items.size() : 0);
    if (!appcast) {
      EXPECT_FALSE(appcast.error().message.isEmpty()) << r.name;
    }
  }
}

TEST(AppcastParsing, TheEntityRefusalSaysWhy) {
  Result<Appcast> appcast = parseAppcast("<?xml version=\"1.0\"?><!DOCTYPE rss [<!ENTITY a \"b\">]><rss><channel/></rss>");
  ASSERT_FALSE(appcast);
  EXPECT_TRUE(appcast.error().message.contains(u"DTD")) << appcast.error().message.toStdString();
}

TEST(AppcastParsing, AcceptsAFeedJustUnderTheSizeLimit) {
  QByteArray document = feedWithItems("<item><description>");
  document.chop(document.size() - document.indexOf("</channel>"));
  const QByteArray tail = "</description></item></channel></rss>";
  document += QByteArray(kMaxFeedBytes - document.size() - tail.size(), 'x') + tail;
  ASSERT_EQ(document.size(), kMaxFeedBytes);
  EXPECT_TRUE(parseAppcast(document));
}

TEST(AppcastParsing, DeepNestingAndUnknownElementsAreSkipped) {
  QByteArray deep;
  for (int i = 0; i < 5000; ++i) deep += "<x>";
  for (int i = 0; i < 5000; ++i) deep += "</x>";
  Result<Appcast> appcast = parseAppcast(feedWithItems(deep + R"(<item><sparkle:version>2</sparkle:version><enclosure url="u"/></item>)"));
  ASSERT_TRUE(appcast);
  ASSERT_EQ(appcast->items.size(), 1u);
  EXPECT_EQ(appcast->items[0].versionString, u"2");
}

}  // namespace
}  // namespace updater
