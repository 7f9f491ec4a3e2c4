#include "appkit/application.h"

#include <unistd.h>

#include <chrono>

#include <QApplication>
#include <QThread>

#include <gtest/gtest.h>

#include "appkit/alert.h"

using appkit::NSApp;
using appkit::NSApplication;
using Clock = std::chrono::steady_clock;

namespace {

int runApplication(const std::function<void(NSApplication&)>& loadMainInterface) {
  static char name[] = "application_test";
  static char* argv[] = {name, nullptr};
  alarm(30);  // a loop that never ends fails the test instead of hanging it
  const int status = appkit::NSApplicationMain(1, argv, loadMainInterface);
  alarm(0);
  return status;
}

void after(double seconds, std::function<void(QObject*)> call, QObject* object = nullptr) {
  NSApp()->performSelectorWithObjectAfterDelay(std::move(call), object, seconds);
}

struct Delegate : appkit::NSApplicationDelegate {
  std::function<void()> onLaunch;
  int launches = 0;
  bool loopWasRunning = false;
  void applicationDidFinishLaunching(const foundation::NSNotification&) override {
    ++launches;
    loopWasRunning = QThread::currentThread()->loopLevel() > 0;
    if (onLaunch) onLaunch();
  }
};

}  // namespace

TEST(ApplicationMain, RunsTheLoopWithDelegateAndDelayedCallsUntilTerminate) {
  Delegate delegate;
  std::vector<std::string> calls;
  bool controllerOutlivedApplication = true;
  QObject* kept = nullptr;
  QObject* received[2] = {};
  double delay = 0;
  delegate.onLaunch = [&] {
    kept = new QObject(qApp);
    auto* doomed = new QObject;
    const Clock::time_point start = Clock::now();
    after(0.3, [&, start](QObject* object) {
      delay = std::chrono::duration<double>(Clock::now() - start).count();
      received[0] = object;
      calls.push_back("kept");
      NSApp()->terminate(nullptr);
      NSApp()->terminate(nullptr);  // twice is harmless
    }, kept);
    after(0.1, [&](QObject* object) { received[1] = object; calls.push_back("doomed"); }, doomed);
    after(-1.0, [&](QObject*) { calls.push_back("negative"); });
    after(0.6, [&](QObject*) { calls.push_back("after terminate"); });
    delete doomed;
  };
  const int status = runApplication([&](NSApplication& app) {
    calls.push_back("load");
    app.setDelegate(&delegate);
    struct Controller {
      bool* flag;
      ~Controller() { *flag = qApp == nullptr; }
    };
    app.keepAlive(std::make_shared<Controller>(Controller{&controllerOutlivedApplication}));
  });

  EXPECT_EQ(status, 0);
  EXPECT_EQ(delegate.launches, 1);
  EXPECT_TRUE(delegate.loopWasRunning);
  EXPECT_EQ(calls, (std::vector<std::string>{"load", "negative", "doomed", "kept"}));
  EXPECT_EQ(received[0], kept);
  EXPECT_EQ(received[1], nullptr) << "a destroyed object is passed as nullptr";
  EXPECT_GE(delay, 0.29);
  EXPECT_FALSE(controllerOutlivedApplication) << "kept objects must go before the QApplication";
}

TEST(ApplicationMain, TerminateWhileLoadingNeverEntersTheLoop) {
  Delegate early, next;
  EXPECT_EQ(runApplication([&](NSApplication& app) {
              app.setDelegate(&early);
              app.terminate(nullptr);
            }),
            0);
  EXPECT_EQ(early.launches, 0);

  next.onLaunch = [] { after(0.1, [](QObject*) { NSApp()->terminate(nullptr); }); };
  EXPECT_EQ(runApplication([&](NSApplication& app) { app.setDelegate(&next); }), 0);
  EXPECT_EQ(next.launches, 1);
  EXPECT_EQ(early.launches, 0);
}

TEST(ApplicationMain, TerminateDuringAModalAlertEndsTheApplication) {
  Delegate delegate;
  int lateAlert = 99;
  bool handlerFinished = false;
  delegate.onLaunch = [&] {
    after(0.2, [](QObject*) { NSApp()->terminate(nullptr); });
    appkit::NSRunAlertPanel("Title", "Nobody answers", "OK", {}, {});
    lateAlert = appkit::NSRunAlertPanel("Late", "Never shown", "OK", {}, {});
    handlerFinished = true;
  };
  EXPECT_EQ(runApplication([&](NSApplication& app) { app.setDelegate(&delegate); }), 0);
  EXPECT_TRUE(handlerFinished);
  EXPECT_EQ(lateAlert, appkit::NSAlertErrorReturn);
}
