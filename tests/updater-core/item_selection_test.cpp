// The choice of the item to offer, as a table: (feed, installation, time, kind of check) →
// what is offered. The feeds are read by the real feed reader, so each release-management
// element is covered from its XML to its effect.
#include "updater/core/item_selection.h"

#include <gtest/gtest.h>

namespace updater {
namespace {

QByteArray feed(const QByteArray& items) {
  return R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle"><channel>)" +
         items + "</channel></rss>";
}

QByteArray item(const QByteArray& version, const QByteArray& extra = {}, bool enclosure = true) {
  return "<item><sparkle:version>" + version + "</sparkle:version>" + extra +
         (enclosure ? "<enclosure url=\"https://u/" + version + ".zip\" length=\"9\"/>" : QByteArray()) + "</item>";
}

// 1.2 is rolled out one day per group from 7 December 10:00 UTC; 1.1 is out to everyone.
const QByteArray kPhasedItem = item("1.2",
    "<pubDate>Mon, 07 Dec 2026 10:00:00 +0000</pubDate><sparkle:phasedRolloutInterval>86400</sparkle:phasedRolloutInterval>");
const QByteArray kPhased = feed(kPhasedItem + item("1.1"));
const QByteArray kPhasedCritical = feed(item("1.2",
    "<pubDate>Mon, 07 Dec 2026 10:00:00 GMT</pubDate><sparkle:phasedRolloutInterval>86400</sparkle:phasedRolloutInterval>"
    "<sparkle:criticalUpdate/>"));
const QByteArray kPhasedUndated = feed(item("1.2", "<pubDate>soon</pubDate><sparkle:phasedRolloutInterval>86400</sparkle:phasedRolloutInterval>"));
const QByteArray kChannels = feed(item("1.3", "<sparkle:channel>beta</sparkle:channel>") + item("1.1") +
                                  item("1.4", "<sparkle:channel>nightly</sparkle:channel>"));
const QByteArray kInformational = feed(item("2.0",
    "<link>https://quillane.example/2.0</link>"
    "<sparkle:informationalUpdate><sparkle:belowVersion>1.5</sparkle:belowVersion></sparkle:informationalUpdate>"));
const QByteArray kInformationalOnly = feed(item("3.0", "<sparkle:informationalUpdate/>", false) + item("2.1"));
const QByteArray kCriticalBelow = feed(item("1.5", "<sparkle:criticalUpdate sparkle:version=\"1.2\"/>"));
const QByteArray kCriticalSuperseded = feed(item("1.6") + item("1.5", "<sparkle:criticalUpdate sparkle:version=\"1.2\"/>"));
const QByteArray kMajor = feed(item("3.0", "<sparkle:minimumAutoupdateVersion>2.0</sparkle:minimumAutoupdateVersion>"));
const QByteArray kPlain = feed(item("1.2") + item("1.10") + item("1.9") + item("8.0", {}, false));

// Forms publishers write: the older critical spelling (phased, to show it is not), enclosures
// for several platforms, an announcement for some installed versions only.
const QByteArray kCriticalTags = feed(item("1.2",
    "<pubDate>Mon, 07 Dec 2026 10:00:00 +0000</pubDate><sparkle:phasedRolloutInterval>86400</sparkle:phasedRolloutInterval>"
    "<sparkle:tags>\n  <sparkle:criticalUpdate />\n</sparkle:tags>"));
const QByteArray kWindows = R"(<enclosure sparkle:os="windows" url="https://u/setup.exe" length="9"/>)";
const QByteArray kOtherPlatformOnly = feed(item("2.0", kWindows, false) + item("1.5"));
const QByteArray kMixedPlatforms = feed(item("2.0", kWindows));
const QByteArray kInformationalAt = feed(item("2.0",
    "<sparkle:informationalUpdate><sparkle:version>1.2</sparkle:version><sparkle:version>1.3.0</sparkle:version>"
    "</sparkle:informationalUpdate>"));

// 1.2 phased from a pubDate written in another way (7 Dec 2026 10:00 UTC when read), 1.1 out.
QByteArray phasedFrom(const QByteArray& pubDate) {
  return feed(item("1.2", "<pubDate>" + pubDate + "</pubDate><sparkle:phasedRolloutInterval>86400</sparkle:phasedRolloutInterval>") +
              item("1.1"));
}
const QByteArray kTwoDigitYear = phasedFrom("Mon, 07 Dec 26 10:00 GMT");
const QByteArray kIsoDate = phasedFrom("2026-12-07T11:00:00+01:00");
const QByteArray kDateOnly = phasedFrom("2026-12-07");

const QDateTime kPublished(QDate(2026, 12, 7), QTime(10, 0), Qt::UTC);
QDateTime day(int days, int seconds = 0) { return kPublished.addDays(days).addSecs(seconds); }

constexpr CheckKind kBg = CheckKind::Background;
constexpr CheckKind kUser = CheckKind::UserAsked;

enum Expect { None, Update, Critical, Asks, Informational };

struct Row {
  const char* name;
  const QByteArray& feed;
  const char* installed;
  QStringList channels;
  int group;
  QDateTime now;
  CheckKind kind;
  const char* skipped;
  const char* offered;  // "" for nothing
  Expect expect;
};

// clang-format off
const Row kRows[] = {
  {"newest wins, not the first in the feed", kPlain,   "1.0",  {}, 0, day(0), kBg,   "",    "1.10", Update},
  {"an item without enclosure is never offered", kPlain, "1.10", {}, 0, day(0), kUser, "",  "",     None},
  {"skipped newest hides it and older ones", kPlain,   "1.0",  {}, 0, day(0), kBg,   "1.10", "",    None},
  {"skipping an older one keeps the newest", kPlain,   "1.0",  {}, 0, day(0), kBg,   "1.9", "1.10", Update},
  {"a user check ignores the skip",          kPlain,   "1.0",  {}, 0, day(0), kUser, "1.10", "1.10", Update},
  {"phased: group 0 gets it at publication", kPhased,  "1.0",  {}, 0, day(0), kBg,   "",    "1.2",  Update},
  {"phased: group 3 a second early",         kPhased,  "1.0",  {}, 3, day(3, -1), kBg, "",  "1.1",  Update},
  {"phased: group 3 on time",                kPhased,  "1.0",  {}, 3, day(3), kBg,   "",    "1.2",  Update},
  {"phased: group 6 before its day",         kPhased,  "1.1",  {}, 6, day(5), kBg,   "",    "",     None},
  {"phased: a group past 6 waits as 6",      kPhased,  "1.1",  {}, 9, day(6, -1), kBg, "",  "",     None},
  {"phased: a user check during the rollout", kPhased, "1.1",  {}, 6, day(0), kUser, "",    "1.2",  Update},
  {"phased and skipped, after its start",    kPhased,  "1.0",  {}, 0, day(1), kBg,   "1.2", "",     None},
  {"phased and an older version skipped",    kPhased,  "1.0",  {}, 6, day(1), kBg,   "1.1", "",     None},
  {"critical under a rollout: not phased",   kPhasedCritical, "1.0", {}, 6, day(0), kBg, "", "1.2",  Critical},
  {"critical and skipped: still offered",    kPhasedCritical, "1.0", {}, 6, day(0), kBg, "1.2", "1.2", Critical},
  {"phased without a readable date: at once", kPhasedUndated, "1.0", {}, 6, day(0), kBg, "", "1.2",  Update},
  {"channel item hidden",                    kChannels, "1.0", {}, 0, day(0), kUser, "",    "1.1",  Update},
  {"channel item shown to its followers",    kChannels, "1.0", {"beta"}, 0, day(0), kBg, "", "1.3", Update},
  {"only followed channels count",           kChannels, "1.1", {"alpha"}, 0, day(0), kUser, "", "", None},
  {"channel item skipped",                   kChannels, "1.0", {"beta"}, 0, day(0), kBg, "1.3", "", None},
  {"informational below belowVersion",       kInformational, "1.0", {}, 0, day(0), kUser, "", "2.0", Informational},
  {"informational: background ends as none", kInformational, "1.0", {}, 0, day(0), kBg, "",  "",     None},
  {"above belowVersion: an ordinary update", kInformational, "1.5", {}, 0, day(0), kBg, "",  "2.0",  Update},
  {"informational and skipped: user check",  kInformational, "1.0", {}, 0, day(0), kUser, "2.0", "2.0", Informational},
  {"ordinary above belowVersion, skipped",   kInformational, "1.6", {}, 0, day(0), kBg, "2.0", "",   None},
  {"an installable update beats an announcement", kInformationalOnly, "2.0", {}, 0, day(0), kUser, "", "2.1", Update},
  {"announcement once up to date otherwise", kInformationalOnly, "2.1", {}, 0, day(0), kUser, "", "3.0", Informational},
  {"critical below its version",             kCriticalBelow, "1.0", {}, 0, day(0), kBg, "",  "1.5",  Critical},
  {"not critical at or above its version",   kCriticalBelow, "1.2", {}, 0, day(0), kBg, "",  "1.5",  Update},
  {"critical below its version, skipped",    kCriticalBelow, "1.1", {}, 0, day(0), kBg, "1.5", "1.5", Critical},
  {"not critical above it, skipped",         kCriticalBelow, "1.3", {}, 0, day(0), kBg, "1.5", "",   None},
  {"a newer update carries the critical fix", kCriticalSuperseded, "1.0", {}, 0, day(0), kBg, "",  "1.6",  Critical},
  {"newer one skipped: the critical fix itself", kCriticalSuperseded, "1.0", {}, 0, day(0), kBg, "1.6", "1.5", Critical},
  {"no critical fix for this installation",  kCriticalSuperseded, "1.3", {}, 0, day(0), kBg, "",  "1.6",  Update},
  {"major upgrade asks below its minimum",   kMajor, "1.9", {}, 0, day(0), kBg, "",  "3.0",  Asks},
  {"major upgrade silent from its minimum",  kMajor, "2.0", {}, 0, day(0), kBg, "",  "3.0",  Update},
  {"major upgrade skipped",                  kMajor, "1.9", {}, 0, day(0), kBg, "3.0", "",   None},
  {"major upgrade skipped, user check asks", kMajor, "1.9", {}, 0, day(0), kUser, "3.0", "3.0", Asks},
  {"critical in sparkle:tags: not phased",   kCriticalTags, "1.0", {}, 6, day(0), kBg, "",    "1.2", Critical},
  {"critical in sparkle:tags: skip ignored", kCriticalTags, "1.1", {}, 0, day(1), kBg, "1.2", "1.2", Critical},
  {"another platform's enclosure only",      kOtherPlatformOnly, "1.0", {}, 0, day(0), kUser, "", "1.5", Update},
  {"ours beside another platform's",         kMixedPlatforms, "1.0", {}, 0, day(0), kBg, "",  "2.0", Update},
  {"informational at one of its versions",   kInformationalAt, "1.3", {}, 0, day(0), kUser, "", "2.0", Informational},
  {"informational at it: background none",   kInformationalAt, "1.2", {}, 0, day(0), kBg, "",  "",    None},
  {"not at its versions: an ordinary update", kInformationalAt, "1.1", {}, 0, day(0), kBg, "", "2.0", Update},
  {"two-digit year is this century",         kTwoDigitYear, "1.0", {}, 3, day(3, -1), kBg, "", "1.1", Update},
  {"ISO 8601 pubDate with a zone",           kIsoDate, "1.0", {}, 3, day(3, -1), kBg, "",  "1.1",  Update},
  {"date without time or zone: at once",     kDateOnly, "1.0", {}, 6, day(0), kBg, "",    "1.2",  Update},
};
// clang-format on

class ItemSelectionTable : public ::testing::TestWithParam<Row> {};

TEST_P(ItemSelectionTable, OffersWhatTheRulesSay) {
  const Row& row = GetParam();
  Result<Appcast> appcast = parseAppcast(row.feed);
  ASSERT_TRUE(appcast) << appcast.error().message.toStdString();
  const Installation installation{QString::fromLatin1(row.installed), row.channels, row.group,
                                  QString::fromLatin1(row.skipped)};
  const ItemSelection chosen = selectItem(*appcast, installation, row.kind, row.now);
  const std::string why = chosen.reason.toStdString();
  EXPECT_EQ(chosen.item ? chosen.item->versionString : QString(), QString::fromLatin1(row.offered)) << why;
  const OfferKind kind = row.expect == None ? OfferKind::Nothing
                         : row.expect == Informational ? OfferKind::Informational
                                                       : OfferKind::Update;
  EXPECT_EQ(chosen.kind, kind) << why;
  EXPECT_EQ(chosen.critical, row.expect == Critical) << why;
  EXPECT_EQ(chosen.asksBeforeInstall, row.expect == Asks) << why;
  EXPECT_EQ(chosen.verdicts.size(), appcast->items.size());
}

INSTANTIATE_TEST_SUITE_P(Rules, ItemSelectionTable, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) { return "row" + std::to_string(info.index); });

TEST(ItemSelection, SaysWhenAHeldBackVersionReachesTheGroup) {
  Result<Appcast> appcast = parseAppcast(kPhased);
  ASSERT_TRUE(appcast);
  const ItemSelection early = selectItem(*appcast, {QStringLiteral("1.0"), {}, 3, {}}, kBg, day(1));
  EXPECT_EQ(early.item->versionString, u"1.1");
  ASSERT_TRUE(early.heldBackVersion);
  EXPECT_EQ(*early.heldBackVersion, u"1.2");
  EXPECT_EQ(early.heldBackUntil, day(3));
  const ItemSelection waiting = selectItem(*appcast, {QStringLiteral("1.1"), {}, 6, {}}, kBg, day(1));
  EXPECT_EQ(waiting.reason, u"offers nothing yet: 1.2 reaches group 6 at 2026-12-13T10:00:00Z");
  EXPECT_FALSE(selectItem(*appcast, {QStringLiteral("1.0"), {}, 3, {}}, kBg, day(3)).heldBackVersion);
}

TEST(ItemSelection, WarnsAboutARolloutItCannotApply) {
  Result<Appcast> undated = parseAppcast(kPhasedUndated);
  const ItemSelection chosen = selectItem(*undated, {QStringLiteral("1.0"), {}, 6, {}}, kBg, day(0));
  ASSERT_EQ(chosen.warnings.size(), 1);
  EXPECT_TRUE(chosen.warnings[0].contains(u"pubDate \"soon\" is unreadable")) << chosen.warnings[0].toStdString();
  Result<Appcast> negative = parseAppcast(feed(item("1.3", "<pubDate>Mon, 07 Dec 2026 10:00:00 +0000</pubDate>"
                                                           "<sparkle:phasedRolloutInterval>-5</sparkle:phasedRolloutInterval>")));
  const ItemSelection atOnce = selectItem(*negative, {QStringLiteral("1.0"), {}, 6, {}}, kBg, day(0));
  EXPECT_EQ(atOnce.item->versionString, u"1.3");
  ASSERT_EQ(atOnce.warnings.size(), 1);
  EXPECT_TRUE(atOnce.warnings[0].contains(u"phasedRolloutInterval \"-5\""));
}

TEST(ItemSelection, ReadsPubDatesAsRssWritesThem) {
  const QDateTime expected(QDate(2026, 12, 7), QTime(10, 0), Qt::UTC);
  EXPECT_EQ(parsePubDate(QStringLiteral("Mon, 07 Dec 2026 10:00:00 +0000")), expected);
  EXPECT_EQ(parsePubDate(QStringLiteral("Mon, 07 Dec 2026 05:00:00 EST")), expected);
  EXPECT_EQ(parsePubDate(QStringLiteral(" 7 Dec 2026 11:00 +0100 ")), expected);
  EXPECT_EQ(parsePubDate(QStringLiteral("Fri, 07 Dec 2026 10:00:00 gmt")), expected);  // a wrong weekday
  EXPECT_FALSE(parsePubDate(QStringLiteral("Mon, 07 Dec 2026 10:00:00")));  // no zone
  EXPECT_FALSE(parsePubDate(QString()));
  // What feeds write besides: ISO 8601 with a zone, full and lower-case month names, no
  // seconds, one-digit hours, the military letters (taken as UTC), two- and three-digit years.
  for (const char* same : {"2026-12-07T10:00:00Z", "2026-12-07T10:00:00.000+0000", "Monday, 7 December 2026 10:00 UT",
                           "Mon, 7 dec 2026 5:00:00 -0500", "07 Dec 2026 10:00:00 Z", "07 Dec 2026 10:00:00 a",
                           "07 Dec 126 10:00 +0000"}) {
    EXPECT_EQ(parsePubDate(QString::fromLatin1(same)), expected) << same;
  }
  EXPECT_EQ(parsePubDate(QStringLiteral("7 Dec 98 10:00 +0000"))->date().year(), 1998);
  EXPECT_EQ(parsePubDate(QStringLiteral("7 Dec 49 10:00 +0000"))->date().year(), 2049);
  for (const char* refused : {"2026-12-07", "2026.12.07", "2026-12-07T10:00:00", "Saturday, August 30th, 2008 10:00:00 GMT-5",
                              "lun, 07 dic 2026 10:00:00 +0000", "mer., 07 jui. 2026 10:00:00 +0000",
                              "Mon, 07 Dec 2026 10:00:00 CET", "Mon, 07 Dec 2026 10:00:00 j", "Mon, 31 Feb 2026 10:00:00 +0000",
                              "Mon, 07 Dec 2026 24:00:00 +0000", "Mon, 07 Dec 2026 10:00:00 +2400"}) {
    EXPECT_FALSE(parsePubDate(QString::fromUtf8(refused))) << refused;
  }
}

}  // namespace
}  // namespace updater
