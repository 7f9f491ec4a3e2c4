// SparkleHelper through a recording environment: launch, the control events, each state of
// the agent and what moves it on, the two requests to Mail, and the walk up to the plug-in.
#include "update-agent/QLSparkleHelper.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <memory>

#include "FakeSparkleHelperEnvironment.h"
#include "updater/core/appcast.h"

namespace {

using Trace = std::vector<std::string>;

const std::string kQuitSent =
    "send aevt/quit to bund com.apple.mail transactionID 0 mode 3 timeout 600 with reply record";
const std::string kActivateSent = "send misc/actv to bund com.apple.mail transactionID 0 mode 1 timeout -1 no reply";
const std::string kBackgroundCheck = "updater checkForUpdatesInBackground";
const std::string kForegroundCheck = "updater checkForUpdates null";
const QString kDriverFinished = QStringLiteral("SUUpdateDriverFinished");
const QString kNoEnclosingBundle =
    QStringLiteral("Sparkle Update Error -- No MailbundleToUpdate specified in info.plist");

class SparkleHelperTest : public ::testing::Test {
 public:  // the table-driven tests below reach these through lambdas
  void SetUp() override {
    ASSERT_TRUE(sandbox_.isValid());
    library_ = sandbox_.path() + "/Library";
    plugin_ = library_ + "/Mail/Bundles/Quillane.mailbundle";
  }

  // A fresh agent, launched, sitting in the plug-in as it is installed.
  void launchInsidePlugin() {
    ASSERT_TRUE(QDir().mkpath(plugin_ + "/Contents/Resources/QuillaneUpdateAgent.app/Contents/MacOS"));
    env_.ownBundlePath = plugin_ + "/Contents/Resources/QuillaneUpdateAgent.app";
    launch();
  }

  void launch() {
    helper_ = std::make_unique<SparkleHelper>(env_);
    helper_->applicationDidFinishLaunching(foundation::NSNotification(QStringLiteral("launched"), nullptr));
    env_.trace.clear();
    env_.logLines.clear();
  }

  void control(const char (&eventID)[5]) {
    ASSERT_TRUE(env_.deliverControlEvent(fourCharCode("SKHP"), fourCharCode(eventID))) << eventID;
  }

  // Moves a launched agent on to Installing, the way the updater does it.
  void beginInstallation(bool throughWillInstall) {
    control("CHBG");
    if (throughWillInstall) {
      helper_->updaterWillInstallUpdate(nullptr, item_);
    } else {
      EXPECT_EQ(helper_->pathToRelaunchForUpdater(nullptr), env_.mailPath);
    }
    env_.trace.clear();
  }

  bool ended() const { return env_.count("terminate") > 0; }
  foundation::NSNotification notification(std::optional<plist::Dictionary> userInfo = {}) const {
    return foundation::NSNotification(QStringLiteral("checkRequested"), nullptr, std::move(userInfo));
  }

  QTemporaryDir sandbox_;
  QString library_;
  QString plugin_;
  FakeSparkleHelperEnvironment env_;
  std::unique_ptr<SparkleHelper> helper_;
  updater::SUAppcastItem item_{updater::AppcastItem{}};
};

// ---- Launch -----------------------------------------------------------------------------

TEST_F(SparkleHelperTest, LaunchLogsTheFixedLineAndRegistersEventsThenObserverWithoutChecking) {
  helper_ = std::make_unique<SparkleHelper>(env_);
  helper_->applicationDidFinishLaunching(foundation::NSNotification(QStringLiteral("launched"), nullptr));

  EXPECT_EQ(env_.logLines, std::vector<QString>{"SparkleHelper Launched! Target Bundle: Sorrelby.mailbundle"});
  EXPECT_EQ(env_.trace, (Trace{"handle SKHP/CHBG", "handle SKHP/CHFG", "handle SKHP/QTSH",
                               "observe SUUpdateDriverFinished from any sender"}));
  for (const auto& [codes, object] : env_.handlerObjects) EXPECT_EQ(object, helper_.get());
}

TEST_F(SparkleHelperTest, QuitEventRightAfterLaunchEndsTheAgentWithoutACheckOrAReply) {
  launchInsidePlugin();
  control("QTSH");
  EXPECT_EQ(env_.trace, Trace{"terminate"});
  EXPECT_TRUE(env_.lastReply.paramDescriptorForKeyword(keyErrorNumber).isNull());
}

TEST_F(SparkleHelperTest, UnknownEventIDDoesNothing) {
  launchInsidePlugin();
  const auto event = ae::NSAppleEventDescriptor::appleEventWithEventClassEventIDTargetDescriptorReturnIDTransactionID(
      fourCharCode("SKHP"), fourCharCode("XXXX"), ae::NSAppleEventDescriptor::nullDescriptor(), kAutoGenerateReturnID,
      kAnyTransactionID);
  ae::NSAppleEventDescriptor reply;
  helper_->handleAppleEventWithReplyEvent(event, reply);
  EXPECT_TRUE(env_.trace.empty());
  EXPECT_TRUE(reply.isNull());
}

// ---- Waiting: "QTSH", Mail quitting and terminateWhenIdle each end the agent ---------------

TEST_F(SparkleHelperTest, WaitingAgentEndsOnQuitEventMailQuittingOrIdleRequest) {
  const std::vector<std::pair<const char*, std::function<void(SparkleHelperTest&)>>> ways = {
      {"QTSH", [](SparkleHelperTest& t) { t.control("QTSH"); }},
      {"mailWillTerminate", [](SparkleHelperTest& t) { t.helper_->mailWillTerminate(t.notification()); }},
      {"terminateWhenIdle", [](SparkleHelperTest& t) { t.helper_->terminateWhenIdle(); }},
  };
  for (const auto& [name, act] : ways) {
    SCOPED_TRACE(name);
    launchInsidePlugin();
    act(*this);
    EXPECT_EQ(env_.trace, Trace{"terminate"});
  }
}

// ---- Checking ---------------------------------------------------------------------------

TEST_F(SparkleHelperTest, BackgroundCheckFindsThePluginAndStartsTheUpdaterWithTheAgentAsDelegate) {
  launchInsidePlugin();
  control("CHBG");
  EXPECT_EQ(env_.trace, (Trace{"searchPath 5 1 expanded", "bundleForClass", "bundleWithPath " + plugin_.toStdString(),
                               "updaterForBundle " + plugin_.toStdString(), "updater setDelegate", kBackgroundCheck}));
  EXPECT_EQ(env_.updater.delegate, static_cast<updater::SUUpdaterDelegate*>(helper_.get()));
  EXPECT_TRUE(env_.logLines.empty());
}

TEST_F(SparkleHelperTest, ForegroundEventStartsAForegroundCheckWithNoSender) {
  launchInsidePlugin();
  control("CHFG");
  EXPECT_EQ(env_.count(kForegroundCheck), 1);
  EXPECT_EQ(env_.count(kBackgroundCheck), 0);
  EXPECT_EQ(env_.updater.delegate, static_cast<updater::SUUpdaterDelegate*>(helper_.get()));
}

TEST_F(SparkleHelperTest, CheckingAgentStillEndsOnQuitEventOrMailQuittingButNotOnIdleRequest) {
  launchInsidePlugin();
  control("CHBG");
  env_.trace.clear();
  helper_->terminateWhenIdle();
  EXPECT_FALSE(ended()) << "a check has started";
  control("QTSH");
  EXPECT_EQ(env_.trace, Trace{"terminate"});

  launchInsidePlugin();
  control("CHFG");
  env_.trace.clear();
  helper_->mailWillTerminate(notification());
  EXPECT_EQ(env_.trace, Trace{"terminate"});
}

TEST_F(SparkleHelperTest, NoUpdateEndsTheAgentOneSecondLaterAndNothingCancelsIt) {
  launchInsidePlugin();
  control("CHBG");
  env_.trace.clear();
  helper_->updaterDidNotFindUpdate(nullptr);
  EXPECT_FALSE(ended()) << "not before the delay";
  ASSERT_EQ(env_.delays, std::vector<double>{1.0});

  control("CHBG");  // a new check in between does not keep the agent alive
  env_.runDelayedCalls();
  EXPECT_EQ(env_.count("terminate"), 1);
  EXPECT_EQ(env_.trace.back(), "terminate");
}

TEST_F(SparkleHelperTest, NoUpdateButRunEndReportedFirstEndsTheAgentAtOnce) {
  launchInsidePlugin();
  control("CHBG");
  helper_->updaterDidNotFindUpdate(nullptr);
  env_.trace.clear();
  EXPECT_EQ(env_.post(kDriverFinished, &env_.updater), 1);
  EXPECT_EQ(env_.trace, (Trace{kActivateSent, "terminate"}));
}

TEST_F(SparkleHelperTest, NewCheckWhileCheckingStartsTheUpdaterAgain) {
  launchInsidePlugin();
  control("CHBG");
  control("CHFG");
  control("CHBG");
  EXPECT_EQ(env_.count(kBackgroundCheck), 2);
  EXPECT_EQ(env_.count(kForegroundCheck), 1);
  EXPECT_FALSE(ended());
}

// ---- Installing -------------------------------------------------------------------------

TEST_F(SparkleHelperTest, InstallingAgentIgnoresQuitEventMailQuittingAndIdleRequest) {
  for (const bool throughWillInstall : {true, false}) {
    SCOPED_TRACE(throughWillInstall ? "entered through updater:willInstallUpdate:"
                                    : "entered through pathToRelaunchForUpdater:");
    launchInsidePlugin();
    beginInstallation(throughWillInstall);
    control("QTSH");
    helper_->mailWillTerminate(notification());
    helper_->terminateWhenIdle();
    EXPECT_TRUE(env_.trace.empty());
  }
}

TEST_F(SparkleHelperTest, WillInstallAsksMailToQuitWaitingForItsAnswerAndReleasesEverything) {
  launchInsidePlugin();
  control("CHBG");
  env_.trace.clear();
  helper_->updaterWillInstallUpdate(nullptr, item_);
  EXPECT_EQ(env_.trace, (Trace{"createDesc bund com.apple.mail",
                               "createAppleEvent aevt/quit to target returnID -1 transactionID 0", kQuitSent,
                               "dispose reply", "dispose event", "dispose target"}));
  EXPECT_EQ(env_.liveDescriptors, 0);
  EXPECT_FALSE(ended());
}

TEST_F(SparkleHelperTest, InstallationGoesOnWhenMailDoesNotAnswer) {
  launchInsidePlugin();
  control("CHBG");
  env_.sendStatus = errAETimeout;
  helper_->updaterWillInstallUpdate(nullptr, item_);
  env_.trace.clear();
  control("QTSH");
  EXPECT_FALSE(ended()) << "the installation is still under way";
}

TEST_F(SparkleHelperTest, RelaunchPathIsMailsOrNothingAndEitherWayMarksTheInstallation) {
  launchInsidePlugin();
  control("CHBG");
  env_.mailPath = QStringLiteral("/home/someone/.local/share/applications/com.apple.mail.desktop");
  EXPECT_EQ(helper_->pathToRelaunchForUpdater(nullptr), env_.mailPath);
  EXPECT_EQ(env_.trace.back(), "locate com.apple.mail");

  launchInsidePlugin();
  control("CHBG");
  env_.mailPath.reset();
  EXPECT_EQ(helper_->pathToRelaunchForUpdater(nullptr), std::nullopt);
  env_.trace.clear();
  control("QTSH");
  EXPECT_FALSE(ended());
}

TEST_F(SparkleHelperTest, NewCheckDuringInstallationLetsTheQuitEventEndTheAgentAgain) {
  launchInsidePlugin();
  beginInstallation(true);
  control("CHFG");
  EXPECT_EQ(env_.count(kForegroundCheck), 1);
  control("QTSH");
  EXPECT_EQ(env_.trace.back(), "terminate");
}

// ---- In any state: the updater's end of run, and the agent's own terminate: ---------------

TEST_F(SparkleHelperTest, RunEndActivatesMailThenEndsTheAgentInEveryState) {
  const std::vector<std::pair<const char*, std::function<void(SparkleHelperTest&)>>> states = {
      {"waiting", [](SparkleHelperTest&) {}},
      {"checking", [](SparkleHelperTest& t) { t.control("CHBG"); }},
      {"installing", [](SparkleHelperTest& t) { t.beginInstallation(true); }},
  };
  for (const auto& [name, enter] : states) {
    SCOPED_TRACE(name);
    launchInsidePlugin();
    enter(*this);
    env_.trace.clear();
    static const int someOtherSender = 0;
    EXPECT_EQ(env_.post(kDriverFinished, &someOtherSender), 1);
    EXPECT_EQ(env_.trace, (Trace{kActivateSent, "terminate"}));
  }
}

TEST_F(SparkleHelperTest, RunEndWithMailAbsentStillEndsTheAgent) {
  launchInsidePlugin();
  env_.sendStatus = procNotFound;
  env_.post(kDriverFinished);
  EXPECT_EQ(env_.trace, (Trace{kActivateSent, "terminate"}));
}

TEST_F(SparkleHelperTest, AgentsOwnTerminateAsksMailToQuitFirstInEveryState) {
  for (const bool installing : {false, true}) {
    SCOPED_TRACE(installing ? "installing" : "waiting");
    launchInsidePlugin();
    if (installing) beginInstallation(true);
    QObject sender;
    helper_->terminate(&sender);
    EXPECT_TRUE(env_.inOrder({kQuitSent, "dispose target", "terminate"}));
    EXPECT_EQ(env_.count("terminate"), 1) << "ended with a null sender";
    EXPECT_EQ(env_.liveDescriptors, 0);
  }
}

// ---- The quit request -------------------------------------------------------------------

TEST_F(SparkleHelperTest, QuitRequestReturnsTheSendStatus) {
  helper_ = std::make_unique<SparkleHelper>(env_);
  EXPECT_EQ(helper_->quitApplicationWithBundleID("com.apple.mail"), noErr);
  env_.sendStatus = errAETimeout;
  EXPECT_EQ(helper_->quitApplicationWithBundleID("com.apple.mail"), errAETimeout);
  env_.sendStatus = procNotFound;
  EXPECT_EQ(helper_->quitApplicationWithBundleID("com.apple.mail"), procNotFound);
  EXPECT_EQ(env_.liveDescriptors, 0);
}

TEST_F(SparkleHelperTest, QuitRequestAddressIsTheIdentifiersUtf8BytesWithoutTerminator) {
  helper_ = std::make_unique<SparkleHelper>(env_);
  helper_->quitApplicationWithBundleID(QString::fromUtf8("org.exämple.Mäil"));
  EXPECT_EQ(env_.trace.front(), "createDesc bund org.ex\xC3\xA4mple.M\xC3\xA4il");
  EXPECT_TRUE(env_.inOrder({"send aevt/quit to bund org.ex\xC3\xA4mple.M\xC3\xA4il transactionID 0 mode 3 "
                            "timeout 600 with reply record"}));
}

TEST_F(SparkleHelperTest, QuitRequestStopsAtTheFirstFailureAndReleasesWhatItMade) {
  helper_ = std::make_unique<SparkleHelper>(env_);
  env_.createDescStatus = -108;  // memFullErr
  EXPECT_EQ(helper_->quitApplicationWithBundleID("com.apple.mail"), -108);
  EXPECT_EQ(env_.trace, Trace{"createDesc bund com.apple.mail"});

  env_.trace.clear();
  env_.createDescStatus = noErr;
  env_.createAppleEventStatus = static_cast<OSErr>(errAEUnknownAddressType);
  EXPECT_EQ(helper_->quitApplicationWithBundleID("com.apple.mail"), errAEUnknownAddressType);
  EXPECT_EQ(env_.trace, (Trace{"createDesc bund com.apple.mail",
                               "createAppleEvent aevt/quit to target returnID -1 transactionID 0", "dispose target"}));
  EXPECT_EQ(env_.liveDescriptors, 0);
}

// ---- checkForUpdates: --------------------------------------------------------------------

TEST_F(SparkleHelperTest, CheckRequestModeComesFromBackgroundCheckAndDefaultsToForeground) {
  struct Case {
    const char* name;
    std::optional<plist::Dictionary> userInfo;
    const std::string& expected;
  };
  const std::vector<Case> cases = {
      {"true", plist::Dictionary{{"backgroundCheck", plist::Value(true)}}, kBackgroundCheck},
      {"false", plist::Dictionary{{"backgroundCheck", plist::Value(false)}}, kForegroundCheck},
      {"number 1", plist::Dictionary{{"backgroundCheck", plist::Value(1)}}, kBackgroundCheck},
      {"string YES", plist::Dictionary{{"backgroundCheck", plist::Value(std::string("YES"))}}, kBackgroundCheck},
      {"string NO", plist::Dictionary{{"backgroundCheck", plist::Value(std::string("NO"))}}, kForegroundCheck},
      {"key missing", plist::Dictionary{{"somethingElse", plist::Value(true)}}, kForegroundCheck},
      {"no user info", std::nullopt, kForegroundCheck},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    launchInsidePlugin();
    helper_->checkForUpdates(notification(c.userInfo));
    EXPECT_EQ(env_.trace.back(), c.expected);
    helper_->terminateWhenIdle();
    EXPECT_FALSE(ended()) << "a check has started";
  }
}

// ---- Finding the plug-in ------------------------------------------------------------------

TEST_F(SparkleHelperTest, WalkStopsAtTheNearestEnclosingMailBundle) {
  // The bundle the agent lives in, two plug-ins deep: the inner one is the target.
  const QString inner = plugin_ + "/Contents/Resources/Inner.mailbundle";
  ASSERT_TRUE(QDir().mkpath(inner + "/Contents/Resources/A.app"));
  env_.ownBundlePath = inner + "/Contents/Resources/A.app";
  launch();
  control("CHBG");
  EXPECT_EQ(env_.count("updaterForBundle " + inner.toStdString()), 1);
  EXPECT_EQ(env_.count("bundleWithPath " + inner.toStdString()), 1) << "the walk itself never opens anything";
}

TEST_F(SparkleHelperTest, AgentOutsideAnyPluginLogsOnceAndKeepsRunning) {
  for (const QString& own : {QStringLiteral("/opt/QuillaneUpdateAgent.app"), QStringLiteral("/"), QString()}) {
    SCOPED_TRACE(own.toStdString());
    env_.ownBundlePath = own;
    launch();
    control("CHBG");
    EXPECT_EQ(env_.logLines, std::vector<QString>{kNoEnclosingBundle});
    EXPECT_EQ(env_.trace, (Trace{"searchPath 5 1 expanded", "bundleForClass"}));
    control("QTSH");
    EXPECT_EQ(env_.trace.back(), "terminate") << "still answering events";
  }
}

TEST_F(SparkleHelperTest, AgentWhoseOwnBundleCannotBeFoundLogsTheSameLine) {
  env_.ownBundlePath.reset();
  launch();
  control("CHFG");
  EXPECT_EQ(env_.logLines, std::vector<QString>{kNoEnclosingBundle});
  EXPECT_EQ(env_.count("updater setDelegate"), 0);
}

TEST_F(SparkleHelperTest, EnclosingPathThatIsNoDirectoryIsReportedWithItsPathVerbatim) {
  // A name that looks like a format must come out as it is.
  const QString missing = sandbox_.path() + "/50%@ off %%.mailbundle";
  const QString file = sandbox_.path() + "/Plain.mailbundle";
  QFile plainFile(file);
  ASSERT_TRUE(plainFile.open(QIODevice::WriteOnly));
  for (const QString& target : {missing, file}) {
    SCOPED_TRACE(target.toStdString());
    env_.ownBundlePath = target + "/Contents/Resources/A.app";
    launch();
    control("CHBG");
    EXPECT_EQ(env_.logLines, std::vector<QString>{"Sparkle Update Error -- Target Mail bundle " + target +
                                                  " was not found in ~/Library/Mail/Bundles/"});
    EXPECT_EQ(env_.trace.back(), "bundleWithPath " + target.toStdString());
    EXPECT_FALSE(ended());
  }
}

TEST_F(SparkleHelperTest, NoLibraryFolderEndsTheCheckSilentlyAfterLeavingWaiting) {
  env_.libraryDirectories.clear();
  launchInsidePlugin();
  control("CHBG");
  EXPECT_EQ(env_.trace, Trace{"searchPath 5 1 expanded"});
  EXPECT_TRUE(env_.logLines.empty());
  helper_->terminateWhenIdle();
  EXPECT_FALSE(ended()) << "the check had started";
}

TEST_F(SparkleHelperTest, PluginWithoutAnUpdaterStopsThere) {
  env_.updaterAvailable = false;
  launchInsidePlugin();
  control("CHBG");
  EXPECT_EQ(env_.trace.back(), "updaterForBundle " + plugin_.toStdString());
  EXPECT_EQ(env_.updater.delegate, nullptr);
  EXPECT_TRUE(env_.logLines.empty());
}

// ---- The agent's state and its lifetime ---------------------------------------------------

TEST_F(SparkleHelperTest, NewAgentStartsWaitingWhateverTheLastOneLeftBehind) {
  launchInsidePlugin();
  beginInstallation(true);
  helper_.reset();
  launchInsidePlugin();
  helper_->terminateWhenIdle();
  EXPECT_EQ(env_.trace, Trace{"terminate"});
}

TEST_F(SparkleHelperTest, DestroyedAgentNoLongerObservesTheRunEnd) {
  launchInsidePlugin();
  helper_.reset();
  EXPECT_EQ(env_.post(kDriverFinished), 0);
}

}  // namespace
