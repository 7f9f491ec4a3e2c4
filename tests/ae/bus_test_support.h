// Helpers for tests that run real processes on the test's private session bus.
#pragma once

#include "ae/AppleEvents.h"

#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <chrono>
#include <memory>
#include <vector>

namespace ae_test {

// A program built with the project: $QUILLANE_BUILD_DIR/bin/<name>.
QString builtProgram(const QString& name);

// Polls the bus until `busName` has an owner (or has none, with owned = false).
bool waitForBusName(const QString& busName, bool owned = true, std::chrono::milliseconds limit = std::chrono::seconds(10));

// A running Mail stand-in with its own log file, killed on destruction if still running.
class Standin {
 public:
  explicit Standin(QStringList arguments = {}, const QString& busName = QStringLiteral("com.apple.mail"));
  ~Standin();
  bool started() const { return started_; }
  QProcess& process() { return *process_; }
  std::vector<QJsonObject> log() const;  // one object per line so far
  // Waits for the stand-in to exit by itself; its exit code, or -1 if it did not.
  int waitForExit(std::chrono::milliseconds limit = std::chrono::seconds(10));

 private:
  QString logPath_;
  std::unique_ptr<QProcess> process_;
  bool started_ = false;
};

// Runs the event loop (so this process's event handlers run) until `process` finishes.
bool serveUntilFinished(QProcess& process, std::chrono::milliseconds limit = std::chrono::seconds(20));

struct Sent {
  OSStatus status;
  std::chrono::milliseconds elapsed;
};

// AEBuildAppleEvent with the identifier as "bund" address, no parameters, then AESendMessage.
Sent sendEvent(const QByteArray& identifier, AEEventClass eventClass, AEEventID eventID, AESendMode mode,
               long ticks, AppleEvent* reply = nullptr);

}  // namespace ae_test
