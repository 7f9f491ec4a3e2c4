#include "appkit/application.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

#include <QApplication>
#include <QThread>

#include <gtest/gtest.h>

#include "appkit/alert.h"

using appkit::NSApp;
using appkit::NSApplication;
using Clock = std::chrono::steady_clock;

namespace {

// terminate ends the process, so each application runs in a child process of its own and
// leaves a trace of what ran in a file the test reads afterwards.
class ApplicationMain : public testing::Test {
 protected:
  void SetUp() override {
    tracePath_ = std::string(std::getenv("HOME")) + "/trace-" +
                 testing::UnitTest::GetInstance()->current_test_info()->name();
    std::remove(tracePath_.c_str());
  }

  void trace(const std::string& what) {
    std::ofstream(tracePath_, std::ios::app) << what << "\n";
  }

  std::string traced() const {
    std::stringstream text;
    text << std::ifstream(tracePath_).rdbuf();
    return text.str();
  }

  static void runApplication(const std::function<void(NSApplication&)>& loadMainInterface) {
    static char name[] = "application_test";
    static char* argv[] = {name, nullptr};
    alarm(30);  // a loop that never ends fails the test instead of hanging it
    std::exit(appkit::NSApplicationMain(1, argv, loadMainInterface) == 0 ? 3 : 4);
  }

  std::string tracePath_;
};

void after(double seconds, std::function<void(QObject*)> call, QObject* object = nullptr) {
  NSApp()->performSelectorWithObjectAfterDelay(std::move(call), object, seconds);
}

struct Delegate : appkit::NSApplicationDelegate {
  std::function<void()> onLaunch;
  void applicationDidFinishLaunching(const foundation::NSNotification&) override {
    if (onLaunch) onLaunch();
  }
};

}  // namespace

TEST_F(ApplicationMain, RunsTheLoopWithDelegateAndDelayedCallsUntilTerminateEndsTheProcess) {
  const auto child = [this] {
    Delegate delegate;
    delegate.onLaunch = [&] {
      trace(QThread::currentThread()->loopLevel() > 0 ? "launched in the loop" : "launched outside the loop");
      auto* kept = new QObject(qApp);
      auto* doomed = new QObject;
      const Clock::time_point start = Clock::now();
      after(0.3, [this, kept, start](QObject* object) {
        trace(Clock::now() - start >= std::chrono::milliseconds(290) ? "kept on time" : "kept early");
        trace(object == kept ? "received kept" : "received something else");
        NSApp()->terminate(nullptr);
        trace("terminate returned");
      }, kept);
      after(0.1, [this](QObject* object) { trace(object ? "doomed alive" : "doomed as null"); }, doomed);
      after(-1.0, [this](QObject*) { trace("negative"); });
      after(0.6, [this](QObject*) { trace("after terminate"); });
      delete doomed;
    };
    runApplication([&](NSApplication& app) {
      trace("load");
      app.setDelegate(&delegate);
    });
  };
  EXPECT_EXIT(child(), testing::ExitedWithCode(0), "");
  EXPECT_EQ(traced(),
            "load\nlaunched in the loop\nnegative\ndoomed as null\nkept on time\nreceived kept\n");
}

TEST_F(ApplicationMain, TerminateWhileLoadingNeverEntersTheLoop) {
  const auto child = [this] {
    Delegate early;
    early.onLaunch = [this] { trace("launched"); };
    runApplication([&](NSApplication& app) {
      app.setDelegate(&early);
      app.terminate(nullptr);
      trace("terminate returned");
    });
  };
  EXPECT_EXIT(child(), testing::ExitedWithCode(0), "");
  EXPECT_EQ(traced(), "");
}

TEST_F(ApplicationMain, TerminateDuringAModalAlertEndsTheProcessThere) {
  const auto child = [this] {
    Delegate delegate;
    delegate.onLaunch = [&] {
      after(0.2, [](QObject*) { NSApp()->terminate(nullptr); });
      trace("alert");
      appkit::NSRunAlertPanel("Title", "Nobody answers", "OK", {}, {});
      trace("after the alert");
      appkit::NSRunAlertPanel("Late", "Never shown", "OK", {}, {});
    };
    runApplication([&](NSApplication& app) { app.setDelegate(&delegate); });
  };
  EXPECT_EXIT(child(), testing::ExitedWithCode(0), "");
  EXPECT_EQ(traced(), "alert\n");
}
