// NSApplicationMain claims the main bundle's identifier on the session bus: a copy of this
// program placed in an application bundle receives events addressed to that identifier, and
// its delegate has finished launching before the first one is handled.

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include <QCoreApplication>
#include <QProcess>

#include <gtest/gtest.h>

#include "ae/AppleEventObjects.h"
#include "ae/AppleEvents.h"
#include "appkit/application.h"

namespace fs = std::filesystem;
using ae::NSAppleEventDescriptor;
using ae::NSAppleEventManager;

namespace {

constexpr char kIdentifier[] = "org.example.QuillaneClaimTest";
constexpr AEEventClass kTestClass = fourCharCode("qtst");
constexpr AEEventID kPing = fourCharCode("ping");

// The application side: handles "qtst"/"ping" from launch on, and ends soon after one
// arrives (or after a while without one).
struct PingDelegate : appkit::NSApplicationDelegate {
  double lifetime = 15.0;
  void applicationDidFinishLaunching(const foundation::NSNotification&) override {
    NSAppleEventManager::sharedAppleEventManager().setEventHandlerAndSelectorForEventClassAndEventID(
        this,
        [](const NSAppleEventDescriptor&, NSAppleEventDescriptor&) {
          appkit::NSApp()->performSelectorWithObjectAfterDelay(
              [](QObject*) { appkit::NSApp()->terminate(nullptr); }, nullptr, 0.2);
        },
        kTestClass, kPing);
    appkit::NSApp()->performSelectorWithObjectAfterDelay(
        [](QObject*) { appkit::NSApp()->terminate(nullptr); }, nullptr, lifetime);
  }
};

int runApplication(int argc, char** argv) {
  const double lifetime = argc > 2 ? std::atof(argv[2]) : 15.0;
  return appkit::NSApplicationMain(argc, argv, [lifetime](appkit::NSApplication& app) {
    auto delegate = std::make_shared<PingDelegate>();
    delegate->lifetime = lifetime;
    app.setDelegate(delegate.get());
    app.keepAlive(delegate);
  });
}

std::string makeApplicationBundle(const std::string& name) {
  const std::string app = std::string(std::getenv("HOME")) + "/" + name + ".app";
  fs::create_directories(app + "/Contents/MacOS");
  fs::copy_file("/proc/self/exe", app + "/Contents/MacOS/" + name, fs::copy_options::overwrite_existing);
  std::ofstream(app + "/Contents/Info.plist")
      << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
         "<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>"
      << kIdentifier << "</string></dict></plist>\n";
  return app + "/Contents/MacOS/" + name;
}

OSStatus ping() {
  const auto target = NSAppleEventDescriptor::initWithDescriptorTypeData(typeApplicationBundleID, QByteArray(kIdentifier));
  const auto event = NSAppleEventDescriptor::appleEventWithEventClassEventIDTargetDescriptorReturnIDTransactionID(
      kTestClass, kPing, target, kAutoGenerateReturnID, kAnyTransactionID);
  AppleEvent reply;
  AEInitializeDesc(&reply);
  const OSStatus status = AESendMessage(event.aeDesc(), &reply, kAEWaitReply, 5 * 60);
  AEDisposeDesc(&reply);
  return status;
}

}  // namespace

TEST(ApplicationMainOnTheBus, EventsForTheBundleIdentifierReachTheLaunchedDelegate) {
  QProcess app;
  app.start(QString::fromStdString(makeApplicationBundle("Claim")), {QStringLiteral("--run-application")});
  ASSERT_TRUE(app.waitForStarted());

  // Ping as soon as the name exists: the first answer must come from the registered handler.
  OSStatus status = procNotFound;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (status == procNotFound && std::chrono::steady_clock::now() < deadline) status = ping();
  EXPECT_EQ(status, noErr);

  ASSERT_TRUE(app.waitForFinished(10000));
  EXPECT_EQ(app.exitCode(), 0);
}

TEST(ApplicationMainOnTheBus, ANameAlreadyTakenIsLoggedAndTheApplicationStillRuns) {
  ASSERT_EQ(NSAppleEventManager::sharedAppleEventManager().registerApplication(QString::fromLatin1(kIdentifier)), noErr);
  QProcess app;
  app.start(QString::fromStdString(makeApplicationBundle("Second")),
            {QStringLiteral("--run-application"), QStringLiteral("0.5")});
  ASSERT_TRUE(app.waitForStarted());
  ASSERT_TRUE(app.waitForFinished(30000));
  EXPECT_EQ(app.exitCode(), 0);
  EXPECT_TRUE(app.readAllStandardError().contains("Cannot receive events for org.example.QuillaneClaimTest"));
  NSAppleEventManager::sharedAppleEventManager().unregisterApplication(QString::fromLatin1(kIdentifier));
}

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--run-application") == 0) return runApplication(argc, argv);
  QCoreApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
