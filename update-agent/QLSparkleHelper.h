// SparkleHelper: the update agent's one controller. It waits for control events of class
// "SKHP" ("CHBG" background check, "CHFG" foreground check, "QTSH" quit), runs the update
// framework against the ".mailbundle" directory that encloses the agent's own bundle, hands
// Mail over around an installation (asks it to quit, names it for relaunch, brings it to the
// front afterwards) and ends the agent when the updater is done or found nothing.
//
// Its state is two file-scope flags shared by every operation (see QLSparkleHelper.cpp); the
// one instance is created at launch and starts them afresh. Every operation runs on the main
// thread, from the event loop.
#pragma once

#include <QObject>
#include <QString>
#include <optional>

#include "ae/AppleEventObjects.h"
#include "ae/AppleEvents.h"
#include "appkit/application.h"
#include "foundation/notification_center.h"
#include "updater/SUUpdater.h"

class SparkleHelperEnvironment;

class SparkleHelper : public appkit::NSApplicationDelegate, public updater::SUUpdaterDelegate {
 public:
  // The environment must outlive the helper.
  explicit SparkleHelper(SparkleHelperEnvironment& environment);
  ~SparkleHelper() override;
  SparkleHelper(const SparkleHelper&) = delete;
  SparkleHelper& operator=(const SparkleHelper&) = delete;

  // Asks the application with that bundle identifier to quit and waits up to ten seconds for
  // its answer. Returns the first non-zero status of assembling or sending, else noErr.
  OSStatus quitApplicationWithBundleID(const QString& bundleIdentifier);

  // Updater callbacks.
  void updaterDidNotFindUpdate(updater::SUUpdater* updater) override;
  void updaterWillInstallUpdate(updater::SUUpdater* updater, const updater::SUAppcastItem& item) override;
  std::optional<QString> pathToRelaunchForUpdater(updater::SUUpdater* updater) override;
  void updateDriverDidFinish(const foundation::NSNotification& notification);

  // Asks Mail to quit (waiting for it), then ends the agent.
  void terminate(QObject* sender);

  // Starts an update check of the enclosing plug-in bundle; returns while it goes on.
  void checkForUpdatesInBackground(bool background);

  // The "SKHP" control events.
  void handleAppleEventWithReplyEvent(const ae::NSAppleEventDescriptor& event, ae::NSAppleEventDescriptor& reply);

  // Ends the agent if no update check has started since launch.
  void terminateWhenIdle();

  // An update check whose mode is the user info's "backgroundCheck" (foreground when absent).
  void checkForUpdates(const foundation::NSNotification& notification);

  // Ends the agent unless an installation is under way.
  void mailWillTerminate(const foundation::NSNotification& notification);

  // Registers the control events and the observer of the updater's end of run.
  void applicationDidFinishLaunching(const foundation::NSNotification& notification) override;

 private:
  SparkleHelperEnvironment& environment_;
};

// The agent's control events and what it answers to.
inline constexpr FourCharCode kSparkleHelperEventClass = fourCharCode("SKHP");
inline constexpr FourCharCode kCheckInBackgroundEventID = fourCharCode("CHBG");
inline constexpr FourCharCode kCheckInForegroundEventID = fourCharCode("CHFG");
inline constexpr FourCharCode kQuitSparkleHelperEventID = fourCharCode("QTSH");
