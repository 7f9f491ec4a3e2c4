// A copy of this program inside an application bundle receives, through NSApplicationMain,
// the events addressed to its bundle identifier, once its delegate has finished launching.

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <QCoreApplication>
#include <QProcess>

#include <gtest/gtest.h>

#include "ae/AppleEventObjects.h"
#include "appkit/application.h"

namespace fs = std::filesystem;
using ae::NSAppleEventDescriptor;
using ae::NSAppleEventManager;

namespace {

const QString kIdentifier = QStringLiteral("org.example.QuillaneClaimTest");
constexpr AEEventClass kTestClass = fourCharCode("qtst");
constexpr AEEventID kPing = fourCharCode("ping");

void terminateAfter(double seconds) {
  appkit::NSApp()->performSelectorWithObjectAfterDelay([](QObject*) { appkit::NSApp()->terminate(nullptr); }, nullptr, seconds);
}

// The application: handles "qtst"/"ping" from launch on and ends from inside the handler of
// the first one; the sender still gets the handler's answer.
struct PingDelegate : appkit::NSApplicationDelegate {
  void applicationDidFinishLaunching(const foundation::NSNotification&) override {
    NSAppleEventManager::sharedAppleEventManager().setEventHandlerAndSelectorForEventClassAndEventID(
        this, [](const NSAppleEventDescriptor&, NSAppleEventDescriptor&) { appkit::NSApp()->terminate(nullptr); },
        kTestClass, kPing);
    terminateAfter(15);
  }
};

QString makeApplicationBundle(const std::string& name) {
  const std::string app = std::string(std::getenv("HOME")) + "/" + name + ".app";
  fs::create_directories(app + "/Contents/MacOS");
  fs::copy_file("/proc/self/exe", app + "/Contents/MacOS/" + name);
  std::ofstream(app + "/Contents/Info.plist") << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                                                 "<key>CFBundleIdentifier</key><string>"
                                              << kIdentifier.toStdString() << "</string></dict></plist>\n";
  return QString::fromStdString(app + "/Contents/MacOS/" + name);
}

OSStatus ping() {
  const auto target = NSAppleEventDescriptor::initWithDescriptorTypeData(typeApplicationBundleID, kIdentifier.toUtf8());
  const auto event = NSAppleEventDescriptor::appleEventWithEventClassEventIDTargetDescriptorReturnIDTransactionID(
      kTestClass, kPing, target, kAutoGenerateReturnID, kAnyTransactionID);
  AppleEvent reply;
  AEInitializeDesc(&reply);
  const OSStatus status = AESendMessage(event.aeDesc(), &reply, kAEWaitReply, 5 * 60);
  AEDisposeDesc(&reply);
  return status;
}

}  // namespace

TEST(ApplicationMainOnTheBus, EventsForTheBundleIdentifierReachTheLaunchedApplication) {
  QProcess app;
  app.start(makeApplicationBundle("Claim"), {"--run-application"});
  ASSERT_TRUE(app.waitForStarted());
  // Ping from the moment the name exists: the first answer must come from the handler.
  OSStatus status = procNotFound;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (status == procNotFound && std::chrono::steady_clock::now() < deadline) status = ping();
  EXPECT_EQ(status, noErr);
  ASSERT_TRUE(app.waitForFinished(10000));
  EXPECT_EQ(app.exitCode(), 0);
}

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--run-application") == 0) {
    return appkit::NSApplicationMain(argc, argv, [](appkit::NSApplication& app) {
      auto delegate = std::make_shared<PingDelegate>();
      app.setDelegate(delegate.get());
      app.keepAlive(delegate);
    });
  }
  QCoreApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
