// The real program, build/bin/QuillaneRemover, in the sandbox home with the Mail stand-in
// on the private bus. Nothing in the program is switched into a test mode: the keyboard
// robot, a Qt input plugin loaded through QT_QPA_GENERIC_PLUGINS, presses a key in its
// window once it is shown, reports every alert panel and answers it with Return, the way a
// person at the keyboard would.
#include "installed_plugin.h"
#include "foundation/file_lock.h"
#include "plist/plist.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using testing_support::existsNoFollow;
using testing_support::snapshot;
using testing_support::writeFile;

const QString kFailurePrefix =
    "Quillane 2 was not successfully removed.  The following error occurred\\n";

plist::Dictionary mailSettings() {
  return plist::Dictionary{
      {"MailboxSortOrder", plist::Array{"INBOX", "Sent", "Drafts"}},
      {"TableColumns",
       plist::Dictionary{
           {"MessageList", plist::Dictionary{{"1", plist::Dictionary{{"Width", 120}}},
                                             {"20", plist::Dictionary{{"Width", 40}}},
                                             {"24", true}}},
           {"Search", plist::Dictionary{{"21", 1}, {"22", 2}, {"23", 3}, {"7", "Date"}}},
       }},
      {"LastOpened", plist::Date::fromUnixTime(1.7e9)},
      {"Signature", plist::Data("\x00\x01\x02", 3)},
  };
}

plist::Dictionary mailSettingsWithoutPluginColumns() {
  plist::Dictionary expected = mailSettings();
  expected.set("TableColumns",
               plist::Dictionary{
                   {"MessageList", plist::Dictionary{{"1", plist::Dictionary{{"Width", 120}}}}},
                   {"Search", plist::Dictionary{{"7", "Date"}}},
               });
  return expected;
}

struct RunResult {
  bool finished = false;
  int exitCode = -1;
  QString logOutput;    // the program's stderr: its log lines
  QStringList alerts;   // "title\tmessage\tbuttons" per alert panel, in order
  bool windowShown = false;
};

class QuillaneRemoverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    buildDir = qEnvironmentVariable("QUILLANE_BUILD_DIR");
    ASSERT_FALSE(buildDir.isEmpty()) << "run through CTest";
    ASSERT_TRUE(testing_support::homeIsSandbox()) << "run through CTest, in a sandbox home";
    library = QDir::homePath() + "/Library";
    work = QDir::homePath() + "/work";
    testing_support::removeTree(library);
    testing_support::removeTree(work);
    QDir().mkpath(work);
  }

  void TearDown() override {
    if (mail) {
      mail->kill();
      mail->waitForFinished(5000);
    }
    if (library.isEmpty()) return;
    // Undo whatever made deletions fail, wherever the items ended up.
    QProcess::execute("chattr", {"-Rf", "-i", library});
    QProcess::execute("chmod", {"-R", "u+rwX", library});
    testing_support::removeTree(library);
  }

  void writeSettings(const plist::Dictionary& settings) {
    writeFile(settingsPath(), QByteArray::fromStdString(plist::writeBinary(settings)));
  }
  QString settingsPath() const { return library + "/Preferences/com.apple.mail.plist"; }
  QByteArray settingsBytes() const {
    QFile file(settingsPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  }
  std::optional<plist::Dictionary> settings() const {
    auto read = plist::read(settingsBytes().toStdString());
    if (!read.has_value() || !read.value().asDictionary()) return std::nullopt;
    return *read.value().asDictionary();
  }

  void startMail() {
    mail = std::make_unique<QProcess>();
    mail->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    mail->start(buildDir + "/bin/mail-standin", {"--log", work + "/mail.log"});
    ASSERT_TRUE(mail->waitForStarted(5000));
    QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
    ASSERT_NE(bus, nullptr) << "the test needs its private session bus";
    for (int i = 0; i < 500 && !bus->isServiceRegistered("com.apple.mail").value(); ++i)
      QTest::qWait(10);
    ASSERT_TRUE(bus->isServiceRegistered("com.apple.mail").value()) << "the stand-in never came up";
  }

  // Events the stand-in received, after it had the chance to handle them.
  std::vector<QJsonObject> mailEvents(bool expectQuit) {
    if (mail && expectQuit) {
      EXPECT_TRUE(mail->waitForFinished(10000)) << "Mail never quit";
    } else if (mail) {
      QTest::qWait(300);  // time for an event that should not come
    }
    std::vector<QJsonObject> events;
    QFile log(work + "/mail.log");
    if (!log.open(QIODevice::ReadOnly)) return events;
    for (const QByteArray& line : log.readAll().split('\n'))
      if (!line.trimmed().isEmpty()) events.push_back(QJsonDocument::fromJson(line).object());
    return events;
  }

  // Runs the program; the robot presses `key` ("Return" or "Escape") in its window.
  QProcessEnvironment removerEnvironment(const QString& key, const QString& report) const {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("QT_PLUGIN_PATH", buildDir + "/test-plugins");
    environment.insert("QT_QPA_GENERIC_PLUGINS", "keyboardrobot:" + key + ";report=" + report);
    return environment;
  }

  RunResult runRemover(const QString& key) {
    const QString report = work + "/robot.txt";
    QProcess remover;
    startRemover(remover, key, report);
    return finishRun(remover, report);
  }

  void startRemover(QProcess& remover, const QString& key, const QString& report) {
    QFile::remove(report);
    remover.setProcessEnvironment(removerEnvironment(key, report));
    remover.start(buildDir + "/bin/QuillaneRemover", {});
  }

  RunResult finishRun(QProcess& remover, const QString& report) {
    RunResult result;
    if (!remover.waitForStarted(5000)) return result;
    result.finished = remover.waitForFinished(60000);
    if (!result.finished) {
      remover.kill();
      remover.waitForFinished();
    }
    result.exitCode = remover.exitStatus() == QProcess::NormalExit ? remover.exitCode() : -1;
    result.logOutput += QString::fromUtf8(remover.readAllStandardError());
    QFile robot(report);
    if (robot.open(QIODevice::ReadOnly)) {
      for (const QString& line : QString::fromUtf8(robot.readAll()).split('\n')) {
        if (line.startsWith("window-shown ")) result.windowShown = true;
        if (line.startsWith("alert ")) result.alerts << line.mid(6);
      }
    }
    return result;
  }

  QString buildDir, library, work;
  std::unique_ptr<QProcess> mail;
};

void expectOneQuitWithoutReply(const std::vector<QJsonObject>& events) {
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["class"].toString(), "aevt");
  EXPECT_EQ(events[0]["id"].toString(), "quit");
  EXPECT_EQ(events[0]["address_type"].toString(), "bund");
  EXPECT_EQ(events[0]["address"].toString(), "com.apple.mail");
  EXPECT_EQ(events[0]["transaction_id"].toInt(-1), 0);
  EXPECT_FALSE(events[0]["reply_wanted"].toBool(true));
}

TEST_F(QuillaneRemoverTest, FullRemovalQuitsMailRemovesTheItemsAndCleansTheColumns) {
  const auto plugin = testing_support::installPlugin(library);
  writeFile(library + "/Mail/Bundles/Other.mailbundle/Contents/Info.plist", "other plug-in");
  writeFile(library + "/Spotlight/Other.mdimporter/Contents/Info.plist", "other importer");
  writeSettings(mailSettings());
  const auto neighboursBefore = snapshot(library + "/Mail/Bundles/Other.mailbundle");
  ASSERT_NO_FATAL_FAILURE(startMail());

  const RunResult run = runRemover("Return");

  ASSERT_TRUE(run.finished) << "the program did not quit";
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_TRUE(run.windowShown);
  EXPECT_EQ(run.alerts, QStringList({"Uninstall Complete\tQuillane was successfully removed\tDone"}));
  EXPECT_FALSE(existsNoFollow(plugin.bundle()));
  EXPECT_FALSE(existsNoFollow(plugin.importer()));
  EXPECT_FALSE(existsNoFollow(plugin.extras()));
  EXPECT_EQ(QDir(library + "/Mail/Bundles").entryList(QDir::AllEntries | QDir::Hidden |
                                                      QDir::NoDotAndDotDot),
            QStringList({"Other.mailbundle"}))
      << "no staging leftovers, neighbours kept";
  EXPECT_EQ(snapshot(library + "/Mail/Bundles/Other.mailbundle"), neighboursBefore);
  EXPECT_TRUE(existsNoFollow(library + "/Spotlight/Other.mdimporter"));
  expectOneQuitWithoutReply(mailEvents(true));

  EXPECT_TRUE(settingsBytes().startsWith("bplist00")) << "written back in the format it was read";
  EXPECT_EQ(settings(), mailSettingsWithoutPluginColumns());
}

TEST_F(QuillaneRemoverTest, AnAbsentItemLeavesTheSettingsUntouchedByteForByte) {
  const auto plugin = testing_support::installPlugin(library);
  testing_support::removeTree(plugin.extras());
  writeSettings(mailSettings());
  const QByteArray before = settingsBytes();
  ASSERT_NO_FATAL_FAILURE(startMail());

  const RunResult run = runRemover("Return");

  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_TRUE(run.alerts.isEmpty()) << "merely absent items give no message";
  EXPECT_FALSE(existsNoFollow(plugin.bundle()));
  EXPECT_FALSE(existsNoFollow(plugin.importer()));
  EXPECT_EQ(settingsBytes(), before);
  expectOneQuitWithoutReply(mailEvents(true));
}

TEST_F(QuillaneRemoverTest, AnItemThatCannotBeDeletedIsLeftWholeAndReported) {
  const auto plugin = testing_support::installPlugin(library);
  writeSettings(mailSettings());
  const QByteArray settingsBefore = settingsBytes();
  const auto importerBefore = snapshot(plugin.importer());
  if (auto reason = testing_support::makeUnremovable(plugin.importer()))
    GTEST_SKIP() << reason->toStdString();
  ASSERT_NO_FATAL_FAILURE(startMail());

  const RunResult run = runRemover("Return");
  testing_support::makeRemovable(plugin.importer());

  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0);
  ASSERT_EQ(run.alerts.size(), 1) << run.alerts.join(" / ").toStdString();
  EXPECT_TRUE(run.alerts[0].startsWith("Uninstall Not Successful\t" + kFailurePrefix))
      << run.alerts[0].toStdString();
  EXPECT_TRUE(run.alerts[0].endsWith("\tOK"));
  EXPECT_TRUE(run.alerts[0].contains("Quillane.mdimporter"));
  const QRegularExpression logLine(
      R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} QuillaneRemover\[\d+:\d+\] )"
      R"(Delete operation did not succeed: .*Quillane\.mdimporter.*!$)",
      QRegularExpression::MultilineOption);
  EXPECT_TRUE(logLine.match(run.logOutput).hasMatch()) << run.logOutput.toStdString();
  EXPECT_EQ(snapshot(plugin.importer()), importerBefore);
  EXPECT_FALSE(existsNoFollow(plugin.bundle()));
  EXPECT_FALSE(existsNoFollow(plugin.extras()));
  EXPECT_EQ(settingsBytes(), settingsBefore);
  expectOneQuitWithoutReply(mailEvents(true));
}

TEST_F(QuillaneRemoverTest, AFailureDeepInsideNeverLeavesAHalfBundleWhereMailLooks) {
  const auto plugin = testing_support::installPlugin(library);
  const auto before = snapshot(plugin.bundle());
  const QString stuck = plugin.bundle() + "/Contents/Resources/en.lproj/Localizable.strings";
  if (auto reason = testing_support::makeUnremovable(stuck))
    GTEST_SKIP() << reason->toStdString();

  const RunResult run = runRemover("Return");

  ASSERT_TRUE(run.finished);
  ASSERT_EQ(run.alerts.size(), 1);
  EXPECT_TRUE(run.alerts[0].startsWith("Uninstall Not Successful\t"));
  const auto after = snapshot(plugin.bundle());
  EXPECT_TRUE(after == before || after.empty())
      << "the bundle is either whole or gone from its place, never half there";
  EXPECT_FALSE(existsNoFollow(plugin.importer())) << "the next items are still processed";
  EXPECT_FALSE(existsNoFollow(plugin.extras()));
}

TEST_F(QuillaneRemoverTest, SettingsThatAreAFifoAreLeftAsTheyAreAndTheRunStillCompletes) {
  // A fifo with no writer blocks whoever opens it for reading, so a blocking read would
  // hang the tool after it deleted everything.
  QDir().mkpath(library + "/Preferences");
  const QString fifo = library + "/Preferences/mail-settings.fifo";
  ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
  for (const bool throughALink : {false, true}) {
    SCOPED_TRACE(throughALink ? "a link to a fifo" : "a fifo");
    QFile::remove(settingsPath());
    if (throughALink)
      ASSERT_TRUE(QFile::link(fifo, settingsPath()));
    else
      ASSERT_EQ(::mkfifo(QFile::encodeName(settingsPath()).constData(), 0600), 0);
    const auto plugin = testing_support::installPlugin(library);

    const RunResult run = runRemover("Return");

    ASSERT_TRUE(run.finished) << "the program hung";
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.alerts,
              QStringList({"Uninstall Complete\tQuillane was successfully removed\tDone"}));
    EXPECT_TRUE(run.logOutput.contains(QRegularExpression(
        "Mail's settings were left unchanged; they could not be read: .*not a regular file")))
        << run.logOutput.toStdString();
    EXPECT_FALSE(existsNoFollow(plugin.bundle()));
    EXPECT_EQ(QFileInfo(settingsPath()).isSymLink(), throughALink) << "left as it was";
  }
}

TEST_F(QuillaneRemoverTest, EscapeCancelsWithoutTouchingMailOrFiles) {
  testing_support::installPlugin(library);
  writeSettings(mailSettings());
  const auto before = snapshot(library);
  ASSERT_NO_FATAL_FAILURE(startMail());

  const RunResult run = runRemover("Escape");

  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_TRUE(run.windowShown);
  EXPECT_TRUE(run.alerts.isEmpty());
  EXPECT_EQ(snapshot(library), before);
  EXPECT_TRUE(mailEvents(false).empty());
  EXPECT_EQ(mail->state(), QProcess::Running) << "Mail was not asked to quit";
}

// ---- Symbolic links: nothing outside the three items is ever touched ------------------

TEST_F(QuillaneRemoverTest, LinksInsideTheItemsAreRemovedAsLinksWithoutMailRunning) {
  const QString outside = QDir::homePath() + "/Documents";
  writeFile(outside + "/Shared/notes.txt", "keep me");
  writeFile(outside + "/config.txt", "keep me too");
  const auto outsideBefore = snapshot(outside);
  const auto plugin = testing_support::installPlugin(library);
  ASSERT_TRUE(QFile::link(outside + "/Shared", plugin.bundle() + "/Contents/Shared"));
  ASSERT_TRUE(QFile::link(outside + "/config.txt", plugin.extras() + "/config.txt"));
  ASSERT_TRUE(QFile::link(outside, plugin.importer() + "/Contents/Home"));
  writeSettings(mailSettings());

  const RunResult run = runRemover("Return");  // no Mail: the quit request just fails

  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.alerts, QStringList({"Uninstall Complete\tQuillane was successfully removed\tDone"}));
  EXPECT_FALSE(existsNoFollow(plugin.bundle()));
  EXPECT_FALSE(existsNoFollow(plugin.importer()));
  EXPECT_FALSE(existsNoFollow(plugin.extras()));
  EXPECT_EQ(snapshot(outside), outsideBefore);
  EXPECT_EQ(settings(), mailSettingsWithoutPluginColumns());
}

TEST_F(QuillaneRemoverTest, ItemsThatAreLinksAreRemovedAsLinksAndWhatTheyPointToIsKept) {
  // A development build linked into place is loaded by Mail just the same.
  const QString outside = QDir::homePath() + "/Projects";
  writeFile(outside + "/Quillane.mailbundle/Contents/Info.plist", "a developer's copy");
  writeFile(outside + "/Quillane.mdimporter/Contents/Info.plist", "a developer's importer");
  writeFile(outside + "/Extras/important.txt", "keep me");
  const auto outsideBefore = snapshot(outside);
  const testing_support::InstalledPlugin plugin{library};
  QDir().mkpath(library + "/Mail/Bundles");
  QDir().mkpath(library + "/Spotlight");
  ASSERT_TRUE(QFile::link(outside + "/Quillane.mailbundle", plugin.bundle()));
  ASSERT_TRUE(QFile::link(outside + "/Quillane.mdimporter", plugin.importer()));
  ASSERT_TRUE(QFile::link(outside + "/Extras", plugin.extras()));
  writeSettings(mailSettings());

  const RunResult run = runRemover("Return");

  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.alerts, QStringList({"Uninstall Complete\tQuillane was successfully removed\tDone"}));
  EXPECT_FALSE(existsNoFollow(plugin.bundle()));
  EXPECT_FALSE(existsNoFollow(plugin.importer()));
  EXPECT_FALSE(existsNoFollow(plugin.extras()));
  EXPECT_EQ(snapshot(outside), outsideBefore);
  EXPECT_EQ(settings(), mailSettingsWithoutPluginColumns());
}

TEST_F(QuillaneRemoverTest, ARunKilledWhileDeletingIsCompletedByTheNextRun) {
  const auto plugin = testing_support::installPlugin(library);
  // Enough files that the deletion is still going on when the kill arrives.
  for (int folder = 0; folder < 40; ++folder) {
    const QString path = QString("%1/Contents/Resources/%2/").arg(plugin.bundle()).arg(folder);
    ASSERT_TRUE(QDir().mkpath(path));
    for (int file = 0; file < 100; ++file) {
      QFile empty(path + QString::number(file));
      ASSERT_TRUE(empty.open(QIODevice::WriteOnly));
    }
  }
  writeSettings(mailSettings());

  // Killed as soon as the bundle has been moved aside for deletion.
  const int watch = inotify_init1(IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, QFile::encodeName(library + "/Mail/Bundles").constData(), IN_MOVED_TO), 0);
  QProcess killed;
  killed.setProcessEnvironment(removerEnvironment("Return", work + "/killed-robot.txt"));
  killed.start(buildDir + "/bin/QuillaneRemover", {});
  ASSERT_TRUE(killed.waitForStarted(5000));
  pollfd event{watch, POLLIN, 0};
  const bool staged = ::poll(&event, 1, 30000) == 1;
  killed.kill();
  killed.waitForFinished(5000);
  ::close(watch);
  ASSERT_TRUE(staged) << "the bundle was never moved aside";
  const QStringList remnants = QDir(library + "/Mail/Bundles").entryList({".Quillane.mailbundle.removing-*"},
                                                                        QDir::AllEntries | QDir::Hidden);
  ASSERT_EQ(remnants.size(), 1) << "the kill came after the deletion had finished";
  EXPECT_FALSE(existsNoFollow(plugin.bundle()));
  EXPECT_TRUE(existsNoFollow(plugin.importer())) << "the kill came before the next item";

  const RunResult run = runRemover("Return");

  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.alerts, QStringList({"Uninstall Complete\tQuillane was successfully removed\tDone"}));
  EXPECT_TRUE(QDir(library + "/Mail/Bundles").isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot))
      << "the remnant, the extras and nothing else were there";
  EXPECT_FALSE(existsNoFollow(plugin.importer()));
  EXPECT_EQ(settings(), mailSettingsWithoutPluginColumns());
}

TEST_F(QuillaneRemoverTest, TwoLaunchesTogetherMakeOneRemovalRun) {
  const QString complete = "Uninstall Complete\tQuillane was successfully removed\tDone";
  int secondLaunchesHandedOver = 0;
  for (int round = 1; round <= 20; ++round) {
    SCOPED_TRACE(round);
    const auto plugin = testing_support::installPlugin(library);
    writeSettings(mailSettings());
    QProcess first, second;
    startRemover(first, "Return", work + "/first.txt");
    startRemover(second, "Return", work + "/second.txt");
    const RunResult one = finishRun(first, work + "/first.txt");
    const RunResult two = finishRun(second, work + "/second.txt");

    ASSERT_TRUE(one.finished && two.finished);
    EXPECT_EQ((one.alerts + two.alerts), QStringList({complete}));
    EXPECT_FALSE(existsNoFollow(plugin.bundle()));
    EXPECT_FALSE(existsNoFollow(plugin.importer()));
    EXPECT_FALSE(existsNoFollow(plugin.extras()));
    EXPECT_EQ(settings(), mailSettingsWithoutPluginColumns());
    // The one that found the other running says so and fails; one that came after the other
    // had ended found nothing to remove, and says nothing.
    for (const RunResult* run : {&one, &two}) {
      if (run->exitCode == 0) continue;
      EXPECT_EQ(run->exitCode, 1);
      EXPECT_FALSE(run->windowShown);
      EXPECT_TRUE(run->logOutput.contains("org.quillane.Remover is already running")) << run->logOutput.toStdString();
      ++secondLaunchesHandedOver;
    }
  }
  std::printf("second launches that handed over to a running tool: %d of 20\n", secondLaunchesHandedOver);
}

TEST_F(QuillaneRemoverTest, ARemovalWaitsForAnInstallationInProgress) {
  const auto plugin = testing_support::installPlugin(library);
  writeSettings(mailSettings());
  foundation::NSError error;
  std::optional<foundation::FileLock> installing =
      foundation::FileLock::tryLock(foundation::installationLockPathForBundle(plugin.bundle()), &error);
  ASSERT_TRUE(installing) << error.localizedDescription().toStdString();

  QProcess remover;
  startRemover(remover, "Return", work + "/robot.txt");
  QString log;
  for (int i = 0; i < 500 && !log.contains("Waiting for the update being installed"); ++i) {
    remover.waitForReadyRead(20);
    log += QString::fromUtf8(remover.readAllStandardError());
  }
  ASSERT_TRUE(log.contains("Waiting for the update being installed at " + plugin.bundle())) << log.toStdString();
  QTest::qWait(500);
  EXPECT_TRUE(existsNoFollow(plugin.bundle())) << "deleted under the installation's lock";
  installing->unlock();

  RunResult run = finishRun(remover, work + "/robot.txt");
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.alerts, QStringList({"Uninstall Complete\tQuillane was successfully removed\tDone"}));
  EXPECT_FALSE(existsNoFollow(plugin.bundle()));
  EXPECT_EQ(settings(), mailSettingsWithoutPluginColumns());
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);  // for the bus connection and QTest::qWait
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
