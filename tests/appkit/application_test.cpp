#include "appkit/application.h"

#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <QApplication>
#include <QThread>

#include <gtest/gtest.h>

#include "appkit/alert.h"

using appkit::NSApp;
using appkit::NSApplication;
using appkit::NSApplicationDelegate;
using appkit::NSApplicationMain;
using Clock = std::chrono::steady_clock;

namespace {

int runApplication(const std::function<void(NSApplication&)>& loadMainInterface) {
  static char name[] = "application_test";
  static char* argv[] = {name, nullptr};
  alarm(30);  // a loop that never ends fails the test instead of hanging it
  const int status = NSApplicationMain(1, argv, loadMainInterface);
  alarm(0);
  return status;
}

struct RecordingDelegate : NSApplicationDelegate {
  std::function<void()> onLaunch;
  int launches = 0;
  bool loopWasRunning = false;
  void applicationDidFinishLaunching(const foundation::NSNotification& notification) override {
    ++launches;
    loopWasRunning = QThread::currentThread()->loopLevel() > 0;
    EXPECT_EQ(notification.name(), appkit::NSApplicationDidFinishLaunchingNotification);
    if (onLaunch) onLaunch();
  }
};

// Notes whether the QApplication still existed when it was destroyed.
struct Controller {
  bool* destroyedWithApplication;
  ~Controller() { *destroyedWithApplication = qApp != nullptr; }
};

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

TEST(ApplicationMain, RunsTheLoopUntilTerminateWithDelegateAndDelayedCalls) {
  RecordingDelegate delegate;
  std::vector<std::string> order;
  bool controllerDestroyedWithApplication = false;
  QObject* passedObject = nullptr;
  QObject* receivedObject = reinterpret_cast<QObject*>(1);
  Clock::time_point scheduled;
  double delay = 0;

  delegate.onLaunch = [&] {
    order.push_back("launched");
    passedObject = new QObject(qApp);
    scheduled = Clock::now();
    NSApp()->performSelectorWithObjectAfterDelay(
        [&](QObject* object) {
          delay = secondsSince(scheduled);
          receivedObject = object;
          order.push_back("delayed");
          NSApp()->terminate(nullptr);
          NSApp()->terminate(nullptr);  // twice is harmless
        },
        passedObject, 0.25);
  };
  const int status = runApplication([&](NSApplication& app) {
    EXPECT_EQ(&app, NSApp());
    order.push_back("load");
    app.setDelegate(&delegate);
    app.keepAlive(std::make_shared<Controller>(Controller{&controllerDestroyedWithApplication}));
  });

  EXPECT_EQ(status, 0);
  EXPECT_EQ(order, (std::vector<std::string>{"load", "launched", "delayed"}));
  EXPECT_EQ(delegate.launches, 1);
  EXPECT_TRUE(delegate.loopWasRunning);
  EXPECT_EQ(receivedObject, passedObject);
  EXPECT_GE(delay, 0.24);
  EXPECT_LT(delay, 5.0);
  EXPECT_TRUE(controllerDestroyedWithApplication) << "kept objects must go before the QApplication";
}

TEST(ApplicationMain, TerminateWhileLoadingNeverEntersTheLoop) {
  RecordingDelegate delegate;
  const Clock::time_point start = Clock::now();
  const int status = runApplication([&](NSApplication& app) {
    app.setDelegate(&delegate);
    app.terminate(nullptr);
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(delegate.launches, 0);
  EXPECT_LT(secondsSince(start), 5.0);

  // The launch that never happened does not reach the next run's delegate twice.
  RecordingDelegate next;
  next.onLaunch = [] {
    NSApp()->performSelectorWithObjectAfterDelay([](QObject*) { NSApp()->terminate(nullptr); }, nullptr, 0.2);
  };
  EXPECT_EQ(runApplication([&](NSApplication& app) { app.setDelegate(&next); }), 0);
  EXPECT_EQ(next.launches, 1);
  EXPECT_EQ(delegate.launches, 0);
}

TEST(ApplicationMain, TerminateDuringAModalAlertEndsTheApplication) {
  RecordingDelegate delegate;
  int firstAlert = 99, alertAfterTerminate = 99;
  bool reachedEndOfHandler = false;
  delegate.onLaunch = [&] {
    NSApp()->performSelectorWithObjectAfterDelay([](QObject*) { NSApp()->terminate(nullptr); }, nullptr, 0.2);
    firstAlert = appkit::NSRunAlertPanel(QStringLiteral("Title"), QStringLiteral("Nobody answers"),
                                         QStringLiteral("OK"), QString(), QString());
    alertAfterTerminate = appkit::NSRunAlertPanel(QStringLiteral("Late"), QStringLiteral("Never shown"),
                                                  QStringLiteral("OK"), QString(), QString());
    reachedEndOfHandler = true;
  };
  const int status = runApplication([&](NSApplication& app) { app.setDelegate(&delegate); });
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(reachedEndOfHandler);
  EXPECT_NE(firstAlert, 99);
  EXPECT_EQ(alertAfterTerminate, appkit::NSAlertErrorReturn);
}

TEST(ApplicationMain, DelayedCallsRunInTimeOrderAndSurviveNoObjectOrRun) {
  RecordingDelegate delegate;
  std::vector<std::string> calls;
  QObject* receivedForDeleted = reinterpret_cast<QObject*>(1);
  delegate.onLaunch = [&] {
    auto* doomed = new QObject;
    NSApp()->performSelectorWithObjectAfterDelay([&](QObject*) { calls.push_back("late"); }, nullptr, 0.3);
    NSApp()->performSelectorWithObjectAfterDelay([&](QObject*) { calls.push_back("negative"); }, nullptr, -1.0);
    NSApp()->performSelectorWithObjectAfterDelay(
        [&](QObject* object) {
          calls.push_back("doomed");
          receivedForDeleted = object;
        },
        doomed, 0.1);
    delete doomed;
    NSApp()->performSelectorWithObjectAfterDelay([](QObject*) { NSApp()->terminate(nullptr); }, nullptr, 0.5);
    // Left pending when this run ends: it must not fire in the next run.
    NSApp()->performSelectorWithObjectAfterDelay([&](QObject*) { calls.push_back("leaked"); }, nullptr, 0.7);
  };
  EXPECT_EQ(runApplication([&](NSApplication& app) { app.setDelegate(&delegate); }), 0);
  EXPECT_EQ(calls, (std::vector<std::string>{"negative", "doomed", "late"}));
  EXPECT_EQ(receivedForDeleted, nullptr);

  RecordingDelegate second;
  second.onLaunch = [] {
    NSApp()->performSelectorWithObjectAfterDelay([](QObject*) { NSApp()->terminate(nullptr); }, nullptr, 0.5);
  };
  EXPECT_EQ(runApplication([&](NSApplication& app) { app.setDelegate(&second); }), 0);
  EXPECT_EQ(calls, (std::vector<std::string>{"negative", "doomed", "late"}));
}
