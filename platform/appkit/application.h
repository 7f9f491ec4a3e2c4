#pragma once

#include <functional>
#include <memory>
#include <vector>

#include <QObject>
#include <QString>

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
// to it arrive here (another instance owning it is asked to bring its windows to the front,
// and this one returns EXIT_FAILURE at once, loading nothing), calls loadMainInterface (which creates the controller and its windows,
// may set the delegate and hands long-lived objects to app.keepAlive), tells the delegate
// applicationDidFinishLaunching once the loop runs, and runs the event loop until
// terminate ends the process. Should the loop end otherwise, returns its exit status, with
// the objects kept alive destroyed before the QApplication. Call once per process at a
// time, on the main thread.
// A program that is not inside an application bundle names the identifier it claims instead
// (identifierWithoutBundle); without either, nothing is claimed.
int NSApplicationMain(int argc, char* argv[],
                      const std::function<void(NSApplication&)>& loadMainInterface,
                      const QString& identifierWithoutBundle = QString());

// The shared application object: one per process, created on first use.
class NSApplication : public QObject {
  Q_OBJECT
 public:
  static NSApplication* sharedApplication();

  void setDelegate(NSApplicationDelegate* delegate);  // not owned; nullptr clears it
  NSApplicationDelegate* delegate() const { return delegate_; }

  // Keeps object alive until the event loop of NSApplicationMain has ended.
  void keepAlive(std::shared_ptr<void> object);

  // Ends the application. Inside NSApplicationMain (its loading included) the process ends
  // here, with status 0, and the call never returns: nothing on the stack, queued or
  // scheduled runs after it, no alert is shown and no notification is delivered. Before the
  // end, the answers to Apple events whose handlers are running go out, with their replies
  // as they stand, work running on the global thread pool finishes (waited for at most 30 s),
  // and output is flushed. Outside NSApplicationMain it only leaves the
  // running event loops, and returns.
  void terminate(QObject* sender);

  // Calls selector(object) once on the main event loop after delaySeconds (negative counts
  // as 0). If object is destroyed first, the call receives nullptr instead.
  // Needs the QApplication of NSApplicationMain (or another QCoreApplication).
  void performSelectorWithObjectAfterDelay(std::function<void(QObject*)> selector, QObject* object,
                                           double delaySeconds);

 private:
  friend int NSApplicationMain(int, char*[], const std::function<void(NSApplication&)>&, const QString&);
  NSApplication() = default;
  void beginRun();
  void endRun();

  NSApplicationDelegate* delegate_ = nullptr;
  std::vector<std::shared_ptr<void>> keptAlive_;
  std::unique_ptr<QObject> runContext_;  // owns the delayed calls of one NSApplicationMain run
};

// The shared application object.
NSApplication* NSApp();

}  // namespace appkit
