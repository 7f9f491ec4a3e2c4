// The removal run, the quit request and the settings clean-up, driven through a fake
// platform so that every branch can be reached and every call order checked.
#include "removal-tool/uninstaller.h"

#include "fake_environment.h"
#include "mail-interface/mail.h"

#include <QObject>
#include <gtest/gtest.h>

namespace {

// The shared message fields must be the Apple Event Manager's own codes.
static_assert(mail::kQuitMessage.eventClass == kCoreEventClass);
static_assert(mail::kQuitMessage.eventID == kAEQuitApplication);
static_assert(mail::kQuitMessage.addressType == typeApplicationBundleID);
static_assert(mail::kQuitMessage.returnID == kAutoGenerateReturnID);
static_assert(mail::kQuitMessage.transactionID == kAnyTransactionID);
static_assert(mail::kActivateMessage.eventClass == kAEMiscStandards);
static_assert(mail::kActivateMessage.eventID == kAEActivate);
static_assert(mail::kQuitWithoutWaiting.sendMode == kAENoReply);
static_assert(mail::kQuitWithoutWaiting.timeoutTicks == kAEDefaultTimeout);
static_assert(mail::kQuitWaitingForReply.sendMode == kAEWaitReply);

const QString kLibrary = QStringLiteral("/home/u/Library");
const QString kBundle = kLibrary + "/Mail/Bundles/Quillane.mailbundle";
const QString kImporter = kLibrary + "/Spotlight/Quillane.mdimporter";
const QString kExtras = kLibrary + "/Mail/Bundles/Quillane Extras";

plist::Dictionary mailSettingsWithColumns() {
  return plist::Dictionary{
      {"ShowBcc", true},
      {"TableColumns",
       plist::Dictionary{
           {"MessageList", plist::Dictionary{{"1", "From"}, {"20", "Score"}, {"24", 42}}},
           {"Drafts", plist::Dictionary{{"7", "Date"}}},
           {"Outbox", plist::Dictionary{{"21", 1}, {"22", 2}, {"23", 3}}},
       }},
      {"Accounts", plist::Array{plist::Dictionary{{"20", "not a column"}}}},
  };
}

const plist::Dictionary& dictionaryAt(const plist::Dictionary& domain, const char* list) {
  static const plist::Dictionary kMissing;
  const plist::Value* columns = domain.get("TableColumns");
  if (!columns || !columns->asDictionary()) return kMissing;
  const plist::Value* entry = columns->asDictionary()->get(list);
  return entry && entry->asDictionary() ? *entry->asDictionary() : kMissing;
}

class UninstallerTest : public ::testing::Test {
 protected:
  FakeEnvironment environment;
  Uninstaller uninstaller{environment};
  QObject sender;
};

// ---- The quit request ------------------------------------------------------------------

TEST_F(UninstallerTest, QuitRequestCarriesEveryFieldAndIsSentWithoutWaiting) {
  environment.sendStatus = procNotFound;
  EXPECT_EQ(uninstaller.quitApplicationWithBundleID("com.apple.mail"), procNotFound)
      << "the send status is returned as it is";

  ASSERT_EQ(environment.built.size(), 1u);
  const auto& event = environment.built[0];
  EXPECT_EQ(event.eventClass, fourCharCode("aevt"));
  EXPECT_EQ(event.eventID, fourCharCode("quit"));
  EXPECT_EQ(event.addressType, fourCharCode("bund"));
  EXPECT_EQ(event.address, QByteArray("com.apple.mail")) << "14 bytes, no terminating zero";
  EXPECT_EQ(event.address.size(), 14);
  EXPECT_EQ(event.returnID, -1);
  EXPECT_EQ(event.transactionID, 0);
  EXPECT_EQ(event.parameterFormat, QByteArray(""));
  EXPECT_FALSE(event.errorRecordPassed);

  ASSERT_EQ(environment.sends.size(), 1u);
  EXPECT_EQ(environment.sends[0].mode, 1);
  EXPECT_EQ(environment.sends[0].timeout, -1);
  ASSERT_EQ(environment.disposed.size(), 1u);
  EXPECT_EQ(environment.disposed[0], environment.sends[0].event)
      << "the event that was sent is the one disposed of";
  EXPECT_EQ(environment.journal, QStringList({"build", "send", "dispose"}));
}

TEST_F(UninstallerTest, QuitRequestAddressIsTheIdentifiersUtf8Bytes) {
  uninstaller.quitApplicationWithBundleID(QString::fromUtf8("org.exämple.app"));
  ASSERT_EQ(environment.built.size(), 1u);
  EXPECT_EQ(environment.built[0].address, QByteArray("org.ex\xc3\xa4mple.app"));
}

TEST_F(UninstallerTest, QuitRequestThatCannotBeBuiltIsNeitherSentNorDisposed) {
  environment.buildStatus = errAEBuildSyntaxError;
  EXPECT_EQ(uninstaller.quitApplicationWithBundleID("com.apple.mail"), errAEBuildSyntaxError);
  EXPECT_EQ(environment.journal, QStringList({"build"}));
}

// ---- The removal run -------------------------------------------------------------------

TEST_F(UninstallerTest, CompleteRunQuitsMailRemovesInOrderCleansSettingsAndReports) {
  environment.addInstalledPlugin(kLibrary);
  environment.mailDomain = mailSettingsWithColumns();

  uninstaller.uninstall(&sender);

  EXPECT_EQ(environment.journal,
            QStringList({"build", "send", "dispose", "remove " + kBundle, "remove " + kImporter,
                         "remove " + kExtras, "read com.apple.mail", "write com.apple.mail",
                         "alert Uninstall Complete", "terminate"}));
  EXPECT_TRUE(environment.entries.empty());
  ASSERT_EQ(environment.alerts.size(), 1u);
  const auto& alert = environment.alerts[0];
  EXPECT_EQ(alert.title, "Uninstall Complete");
  EXPECT_EQ(alert.message, "Quillane was successfully removed");
  EXPECT_EQ(alert.defaultButton, "Done");
  EXPECT_TRUE(alert.alternateButton.isEmpty());
  EXPECT_TRUE(alert.otherButton.isEmpty());
  EXPECT_TRUE(environment.logLines.isEmpty());
  ASSERT_EQ(environment.terminateSenders.size(), 1u);
  EXPECT_EQ(environment.terminateSenders[0], &sender) << "the sender is passed on";
}

TEST_F(UninstallerTest, WithoutTheInstallationLockNothingIsRemovedAndTheAlertSaysWhy) {
  environment.addInstalledPlugin(kLibrary);
  environment.mailDomain = mailSettingsWithColumns();
  const auto before = environment.entries;
  environment.lockFailure = QStringLiteral("Quillane was still being updated after 30 seconds; nothing was removed.");

  uninstaller.uninstall(&sender);

  EXPECT_EQ(environment.lockedBundles, QStringList({kBundle}));
  EXPECT_EQ(environment.entries, before);
  EXPECT_EQ(environment.journal.filter("remove ").size() + environment.journal.filter("write ").size(), 0);
  ASSERT_EQ(environment.alerts.size(), 1u);
  EXPECT_EQ(environment.alerts[0].title, "Uninstall Not Successful");
  EXPECT_TRUE(environment.alerts[0].message.endsWith(*environment.lockFailure));
  EXPECT_EQ(environment.journal.last(), "terminate");
}

TEST_F(UninstallerTest, MailNotAnsweringTheQuitRequestDoesNotStopTheRun) {
  environment.addInstalledPlugin(kLibrary);
  environment.sendStatus = procNotFound;
  uninstaller.uninstall(&sender);
  EXPECT_TRUE(environment.entries.empty());
  EXPECT_EQ(environment.alerts.size(), 1u);

  FakeEnvironment unbuildable;
  unbuildable.addInstalledPlugin(kLibrary);
  unbuildable.buildStatus = errAEBuildSyntaxError;
  Uninstaller(unbuildable).uninstall(&sender);
  EXPECT_TRUE(unbuildable.entries.empty());
  EXPECT_EQ(unbuildable.alerts.size(), 1u);
}

TEST_F(UninstallerTest, MissingExtrasFolderMeansTwoRemovalsAndNoSettingsChangeOrMessage) {
  environment.addInstalledPlugin(kLibrary);
  environment.entries.erase(kExtras);
  environment.mailDomain = mailSettingsWithColumns();

  uninstaller.uninstall(&sender);

  EXPECT_EQ(environment.journal, QStringList({"build", "send", "dispose", "remove " + kBundle,
                                              "remove " + kImporter, "terminate"}));
  EXPECT_TRUE(environment.alerts.empty());
  EXPECT_TRUE(environment.logLines.isEmpty());
}

TEST_F(UninstallerTest, ExtrasThatAreAPlainFileOrALinkAreNeitherRemovedNorCounted) {
  for (auto kind : {FakeEnvironment::Entry::File, FakeEnvironment::Entry::Link}) {
    FakeEnvironment world;
    world.addInstalledPlugin(kLibrary);
    world.entries[kExtras] = kind;
    Uninstaller(world).uninstall(&sender);
    EXPECT_TRUE(world.exists(kExtras));
    EXPECT_FALSE(world.journal.contains("remove " + kExtras));
    EXPECT_FALSE(world.journal.contains("read com.apple.mail")) << "only two items removed";
    EXPECT_TRUE(world.alerts.empty());
    EXPECT_EQ(world.journal.last(), "terminate");
  }
}

TEST_F(UninstallerTest, BundlesThatAreNotDirectoriesAreLeftAlone) {
  environment.addInstalledPlugin(kLibrary);
  environment.entries[kBundle] = FakeEnvironment::Entry::Link;
  environment.entries[kImporter] = FakeEnvironment::Entry::File;
  uninstaller.uninstall(&sender);
  EXPECT_TRUE(environment.exists(kBundle));
  EXPECT_TRUE(environment.exists(kImporter));
  EXPECT_FALSE(environment.exists(kExtras));
  EXPECT_TRUE(environment.alerts.empty());
}

TEST_F(UninstallerTest, FailedDeletionIsLoggedAndReportedAndTheNextItemIsStillProcessed) {
  environment.addInstalledPlugin(kLibrary);
  environment.mailDomain = mailSettingsWithColumns();
  const QString description = "Could not remove \"" + kImporter + "\": Permission denied";
  environment.removalFailures[kImporter] = description;

  uninstaller.uninstall(&sender);

  EXPECT_EQ(environment.journal,
            QStringList({"build", "send", "dispose", "remove " + kBundle, "remove " + kImporter,
                         "log Delete operation did not succeed: " + description + "!",
                         "alert Uninstall Not Successful", "remove " + kExtras, "terminate"}));
  ASSERT_EQ(environment.alerts.size(), 1u);
  EXPECT_EQ(environment.alerts[0].message,
            "Quillane 2 was not successfully removed.  The following error occurred\n" +
                description);
  EXPECT_EQ(environment.alerts[0].defaultButton, "OK");
  EXPECT_TRUE(environment.alerts[0].alternateButton.isEmpty());
  EXPECT_TRUE(environment.alerts[0].otherButton.isEmpty());
  EXPECT_TRUE(environment.exists(kImporter));
  EXPECT_EQ(environment.mailDomain, mailSettingsWithColumns()) << "no clean-up after a failure";
}

TEST_F(UninstallerTest, EachFailingItemGetsItsOwnAlert) {
  environment.addInstalledPlugin(kLibrary);
  environment.removalFailures[kBundle] = "first";
  environment.removalFailures[kExtras] = "third";
  uninstaller.uninstall(&sender);
  ASSERT_EQ(environment.alerts.size(), 2u);
  EXPECT_TRUE(environment.alerts[0].message.endsWith("\nfirst"));
  EXPECT_TRUE(environment.alerts[1].message.endsWith("\nthird"));
  EXPECT_EQ(environment.logLines, QStringList({"Delete operation did not succeed: first!",
                                               "Delete operation did not succeed: third!"}));
  EXPECT_FALSE(environment.exists(kImporter));
}

TEST_F(UninstallerTest, ErrorTextIsShownVerbatimNotReadAsAFormat) {
  environment.addInstalledPlugin(kLibrary);
  const QString description = "odd name %@ %1 %% %d";
  environment.removalFailures[kBundle] = description;
  uninstaller.uninstall(&sender);
  ASSERT_EQ(environment.alerts.size(), 1u);
  EXPECT_TRUE(environment.alerts[0].message.endsWith("occurred\n" + description));
  EXPECT_EQ(environment.logLines,
            QStringList({"Delete operation did not succeed: " + description + "!"}));
}

TEST_F(UninstallerTest, NoLibraryFolderMeansNothingDeletedNoAlertAndTheToolQuits) {
  environment.libraries.clear();
  environment.addInstalledPlugin(kLibrary);
  uninstaller.uninstall(&sender);
  EXPECT_EQ(environment.journal, QStringList({"build", "send", "dispose", "terminate"}));
  EXPECT_EQ(environment.entries.size(), 3u);
}

TEST_F(UninstallerTest, LibraryFoldersAreVisitedLastFirstAndTheCountIsNeverReset) {
  const QString first = "/a/Library", second = "/b/Library";
  environment.libraries = {first, second};
  environment.entries[second + "/Mail/Bundles/Quillane.mailbundle"] =
      FakeEnvironment::Entry::BundleDirectory;
  environment.entries[second + "/Spotlight/Quillane.mdimporter"] =
      FakeEnvironment::Entry::BundleDirectory;
  environment.entries[first + "/Mail/Bundles/Quillane Extras"] =
      FakeEnvironment::Entry::PlainDirectory;
  environment.mailDomain = mailSettingsWithColumns();

  uninstaller.uninstall(&sender);

  EXPECT_EQ(environment.journal,
            QStringList({"build", "send", "dispose",
                         "remove " + second + "/Mail/Bundles/Quillane.mailbundle",
                         "remove " + second + "/Spotlight/Quillane.mdimporter",
                         "remove " + first + "/Mail/Bundles/Quillane Extras",
                         "read com.apple.mail", "write com.apple.mail",
                         "alert Uninstall Complete", "terminate"}));
}

TEST_F(UninstallerTest, CompletionIsReportedOnlyWhenTheCountIsExactlyThree) {
  environment.libraries = {"/a/Library", "/b/Library"};
  environment.addInstalledPlugin("/a/Library");
  environment.addInstalledPlugin("/b/Library");
  environment.mailDomain = mailSettingsWithColumns();
  uninstaller.uninstall(&sender);
  EXPECT_TRUE(environment.entries.empty());
  EXPECT_EQ(environment.alerts.size(), 1u) << "six removals report once, after the third";
  EXPECT_EQ(environment.writes.size(), 1u);
}

TEST_F(UninstallerTest, CancelTouchesNothingAndQuitsAtOnce) {
  environment.addInstalledPlugin(kLibrary);
  environment.mailDomain = mailSettingsWithColumns();
  uninstaller.cancel(&sender);
  EXPECT_EQ(environment.journal, QStringList({"terminate"}));
  ASSERT_EQ(environment.terminateSenders.size(), 1u);
  EXPECT_EQ(environment.terminateSenders[0], &sender);
  uninstaller.cancel(nullptr);
  EXPECT_EQ(environment.terminateSenders.back(), nullptr);
}

TEST_F(UninstallerTest, FoundItemsAgreeWithWhatARunRemoves) {
  environment.addInstalledPlugin(kLibrary);
  environment.entries[kImporter] = FakeEnvironment::Entry::File;
  const auto& targets = Uninstaller::targets();
  EXPECT_EQ(uninstaller.findItem(kLibrary, targets[0]).path, kBundle);
  EXPECT_EQ(uninstaller.findItem(kLibrary, targets[1]).path, std::nullopt);
  EXPECT_EQ(uninstaller.findItem(kLibrary, targets[2]).path, kExtras);
  EXPECT_EQ(uninstaller.findItem(kLibrary + "/", targets[0]).path, kBundle)
      << "joined with exactly one slash";
}

// ---- Links at the targets ----------------------------------------------------------------

TEST_F(UninstallerTest, ALinkCountsAsTheItemOnlyWhenItLeadsToWhatTheItemMustBe) {
  using Link = UninstallerEnvironment::LinkDestination;
  environment.mailDomain = mailSettingsWithColumns();
  for (const QString& path : {kBundle, kImporter, kExtras})
    environment.entries[path] = FakeEnvironment::Entry::Link;
  environment.linkDestinations[kBundle] = Link{true, true};
  environment.linkDestinations[kImporter] = Link{true, false};  // a folder it cannot open
  environment.linkDestinations[kExtras] = Link{true, false};    // a folder is all extras need

  const auto& targets = Uninstaller::targets();
  EXPECT_TRUE(uninstaller.findItem(kLibrary, targets[0]).isLink);
  EXPECT_FALSE(uninstaller.findItem(kLibrary, targets[1]).isPresent());
  uninstaller.uninstall(&sender);

  EXPECT_EQ(environment.journal, QStringList({"build", "send", "dispose", "remove " + kBundle,
                                              "remove " + kExtras, "terminate"}));
  EXPECT_TRUE(environment.exists(kImporter));
  EXPECT_TRUE(environment.alerts.empty());
}

// ---- Remnants of earlier removals --------------------------------------------------------

TEST_F(UninstallerTest, ARunAfterAnInterruptedOneDeletesTheRemnantsAndCompletes) {
  environment.mailDomain = mailSettingsWithColumns();
  const QString bundleRemnant = kLibrary + "/Mail/Bundles/.Quillane.mailbundle.removing-k2j4a9";
  const QString importerRemnant = kLibrary + "/Spotlight/.Quillane.mdimporter.removing-0p3xq1";
  environment.entries[bundleRemnant] = FakeEnvironment::Entry::PlainDirectory;
  environment.entries[importerRemnant] = FakeEnvironment::Entry::PlainDirectory;
  environment.entries[kImporter] = FakeEnvironment::Entry::BundleDirectory;  // reinstalled meanwhile
  environment.entries[kExtras] = FakeEnvironment::Entry::PlainDirectory;

  uninstaller.uninstall(&sender);

  EXPECT_EQ(environment.journal,
            QStringList({"build", "send", "dispose", "remove " + bundleRemnant, "remove " + kImporter,
                         "remove " + importerRemnant, "remove " + kExtras, "read com.apple.mail",
                         "write com.apple.mail", "alert Uninstall Complete", "terminate"}));
  EXPECT_TRUE(environment.entries.empty());
}

TEST_F(UninstallerTest, ARemnantThatCannotBeDeletedIsReportedAndTheRunIsNotComplete) {
  environment.addInstalledPlugin(kLibrary);
  environment.mailDomain = mailSettingsWithColumns();
  const QString remnant = kLibrary + "/Mail/Bundles/.Quillane Extras.removing-aaaaaa";
  environment.entries[remnant] = FakeEnvironment::Entry::PlainDirectory;
  environment.removalFailures[remnant] = "stuck";

  uninstaller.uninstall(&sender);

  EXPECT_FALSE(environment.exists(kExtras)) << "the item itself still goes";
  ASSERT_EQ(environment.alerts.size(), 1u);
  EXPECT_EQ(environment.alerts[0].title, "Uninstall Not Successful");
  EXPECT_TRUE(environment.alerts[0].message.endsWith("\nstuck"));
  EXPECT_TRUE(environment.writes.empty()) << "two of three targets are gone, not three";
}

// ---- Mail's settings after a complete removal --------------------------------------------

class MailSettingsCleanUpTest : public UninstallerTest {
 protected:
  void SetUp() override { environment.addInstalledPlugin(kLibrary); }
};

TEST_F(MailSettingsCleanUpTest, PluginColumnsGoAndEverythingElseStays) {
  environment.mailDomain = mailSettingsWithColumns();
  uninstaller.uninstall(&sender);

  ASSERT_EQ(environment.writes.size(), 1u);
  const plist::Dictionary& written = environment.writes[0];
  EXPECT_EQ(dictionaryAt(written, "MessageList"), (plist::Dictionary{{"1", "From"}}));
  EXPECT_EQ(dictionaryAt(written, "Drafts"), (plist::Dictionary{{"7", "Date"}}));
  const plist::Value* tableColumns = written.get("TableColumns");
  ASSERT_TRUE(tableColumns && tableColumns->asDictionary());
  EXPECT_EQ(tableColumns->asDictionary()->size(), 3u) << "an emptied list keeps its entry";
  EXPECT_EQ(dictionaryAt(written, "Outbox"), plist::Dictionary{});

  plist::Dictionary expected = mailSettingsWithColumns();
  expected.set("TableColumns", *tableColumns);
  EXPECT_EQ(written, expected) << "keys outside TableColumns are written back as read";
  std::vector<std::string> order;
  for (auto& [key, value] : written) order.push_back(key);
  EXPECT_EQ(order, (std::vector<std::string>{"ShowBcc", "TableColumns", "Accounts"}));
}

TEST_F(MailSettingsCleanUpTest, WithoutTableColumnsTheDomainIsWrittenBackUnchanged) {
  environment.mailDomain = plist::Dictionary{{"ShowBcc", false}, {"20", "top level"}};
  uninstaller.uninstall(&sender);
  ASSERT_EQ(environment.writes.size(), 1u);
  EXPECT_EQ(environment.writes[0], (plist::Dictionary{{"ShowBcc", false}, {"20", "top level"}}));
}

TEST_F(MailSettingsCleanUpTest, ValuesThatAreNotDictionariesAreLeftAsTheyAre) {
  const plist::Value oddList = plist::Array{"20", "21"};
  environment.mailDomain = plist::Dictionary{
      {"TableColumns", plist::Dictionary{{"Odd", oddList},
                                         {"Text", "20"},
                                         {"Inbox", plist::Dictionary{{"20", 1}, {"5", 2}}}}}};
  uninstaller.uninstall(&sender);
  ASSERT_EQ(environment.writes.size(), 1u);
  const plist::Dictionary* columns = environment.writes[0].get("TableColumns")->asDictionary();
  ASSERT_NE(columns, nullptr);
  EXPECT_EQ(*columns->get("Odd"), oddList);
  EXPECT_EQ(*columns->get("Text"), plist::Value("20"));
  EXPECT_EQ(dictionaryAt(environment.writes[0], "Inbox"), (plist::Dictionary{{"5", 2}}));

  FakeEnvironment scalar;
  scalar.addInstalledPlugin(kLibrary);
  scalar.mailDomain = plist::Dictionary{{"TableColumns", 20}, {"Other", "kept"}};
  Uninstaller(scalar).uninstall(&sender);
  ASSERT_EQ(scalar.writes.size(), 1u);
  EXPECT_EQ(scalar.writes[0], (plist::Dictionary{{"TableColumns", 20}, {"Other", "kept"}}));
}

TEST_F(MailSettingsCleanUpTest, UnreadableSettingsAreNotWrittenButTheRemovalIsStillReported) {
  environment.mailDomainReadError = "com.apple.mail.plist: not a property list (offset 0)";
  uninstaller.uninstall(&sender);
  EXPECT_TRUE(environment.writes.empty());
  EXPECT_FALSE(environment.journal.contains("write com.apple.mail"));
  ASSERT_EQ(environment.logLines.size(), 1u);
  EXPECT_TRUE(environment.logLines[0].contains(*environment.mailDomainReadError));
  ASSERT_EQ(environment.alerts.size(), 1u);
  EXPECT_EQ(environment.alerts[0].title, "Uninstall Complete");
}

TEST_F(MailSettingsCleanUpTest, AbsentSettingsStayAbsent) {
  uninstaller.uninstall(&sender);
  EXPECT_TRUE(environment.writes.empty());
  EXPECT_FALSE(environment.mailDomain.has_value());
  EXPECT_TRUE(environment.logLines.isEmpty());
  EXPECT_EQ(environment.alerts.size(), 1u);
}

TEST_F(MailSettingsCleanUpTest, AFailedWriteIsLoggedAndTheRemovalStillReported) {
  environment.mailDomain = mailSettingsWithColumns();
  environment.mailDomainWriteError = "Preferences: No space left on device";
  uninstaller.uninstall(&sender);
  ASSERT_EQ(environment.logLines.size(), 1u);
  EXPECT_TRUE(environment.logLines[0].contains("No space left on device"));
  EXPECT_EQ(environment.alerts.size(), 1u);
  EXPECT_EQ(environment.mailDomain, mailSettingsWithColumns());
}

}  // namespace
