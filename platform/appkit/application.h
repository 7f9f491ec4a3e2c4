#pragma once

#include <functional>
#include <memory>
#include <vector>

#include <QObject>

#include "foundation/notification_center.h"

namespace appkit {

class NSApplication;

class NSApplicationDelegate {
 public:
  virtual ~NSApplicationDelegate();
  // Called once, from the running event loop, after the main interface was loaded.
  virtual void applicationDidFinishLaunching(const foundation::NSNotification& /*notification*/) {}
};

inline const QString NSApplicationDidFinishLaunchingNotification =
    QStringLiteral("NSApplicationDidFinishLaunchingNotification");

// Creates the QApplication and the shared application object, claims the main bundle's
// CFBundleIdentifier on the session bus (when the bundle has one) so Apple events addressed
// to it arrive here, calls loadMainInterface (which creates the controller and its windows,
// may set the delegate and hands long-lived objects to app.keepAlive), tells the delegate
// applicationDidFinishLaunching once the loop runs, and runs the event loop until
// terminate. Returns the exit status (0 after terminate). Objects kept alive are destroyed
// before the QApplication. Call once per process at a time, on the main thread.
int NSApplicationMain(int argc, char* argv[],
                      const std::function<void(NSApplication&)>& loadMainInterface);

// The shared application object: one per process, created on first use.
class NSApplication : public QObject {
  Q_OBJECT
 public:
  static NSApplication* sharedApplication();

  void setDelegate(NSApplicationDelegate* delegate);  // not owned; nullptr clears it
  NSApplicationDelegate* delegate() const { return delegate_; }

  // Keeps object alive until the event loop of NSApplicationMain has ended.
  void keepAlive(std::shared_ptr<void> object);

  // Ends the application: the event loop (and any modal loop running inside it) is left and
  // NSApplicationMain returns 0. Called before the loop runs, the loop is not entered.
  // Safe to call from any handler on the main thread, once or more. Returns to its caller;
  // nothing queued after it runs, and no alert is shown after it. Outside NSApplicationMain it
  // only leaves the running event loops.
  void terminate(QObject* sender);
  // Whether terminate was called in the current run of NSApplicationMain.
  bool isTerminating() const { return terminating_; }

  // Calls selector(object) once on the main event loop after delaySeconds (negative counts
  // as 0). If object is destroyed first, the call receives nullptr instead.
  // Needs the QApplication of NSApplicationMain (or another QCoreApplication).
  void performSelectorWithObjectAfterDelay(std::function<void(QObject*)> selector, QObject* object,
                                           double delaySeconds);

 private:
  friend int NSApplicationMain(int, char*[], const std::function<void(NSApplication&)>&);
  NSApplication() = default;
  void beginRun();
  void endRun();

  NSApplicationDelegate* delegate_ = nullptr;
  std::vector<std::shared_ptr<void>> keptAlive_;
  bool terminating_ = false;
  std::unique_ptr<QObject> runContext_;  // owns the delayed calls of one NSApplicationMain run
};

// The shared application object.
NSApplication* NSApp();

}  // namespace appkit
