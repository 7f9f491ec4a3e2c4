// Starting an application again after an install, and waiting until it is ready.
//
// The application is named by its desktop entry ("<bundle identifier>.desktop"). Once
// launched, the watcher waits, within a bound, until a process other than the one that
// owned the identifier's bus name before the launch owns it: then what is sent to that
// identifier when the run ends reaches the new process.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

namespace updater {

class RelaunchWatcher : public QObject {
  Q_OBJECT
 public:
  explicit RelaunchWatcher(QObject* parent = nullptr);

  // Launches the application at `path` and calls `done` once, later: when it owns its bus
  // name, when `timeoutMs` has passed, or at once (on the next turn of the loop) when it
  // cannot be launched or has no bus name to wait for. `done(true)` means it was seen.
  void relaunch(const QString& path, int timeoutMs, std::function<void(bool seen)> done);

  // The bundle identifier a desktop entry path stands for ("" when it is not one).
  static QString bundleIdentifierForPath(const QString& path);
  // What to call the application at `path` in a log line: a desktop entry's Name, else the
  // file's name without its extension.
  static QString applicationNameForPath(const QString& path);

 private:
  void poll();
  void finish(bool seen);

  QString busName_;
  QString previousOwner_;
  QTimer pollTimer_;
  QTimer deadline_;
  std::function<void(bool)> done_;
  bool pending_ = false;
};

}  // namespace updater
