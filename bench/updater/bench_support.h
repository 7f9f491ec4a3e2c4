// What the updater's benchmarks share: running tools, writing fixture files, a loopback web
// server in a process of its own, and medians.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <vector>

namespace updater {
class SUUpdater;
}

namespace bench {

// Prints the message and exits with status 1.
[[noreturn]] void die(const QString& message);

// Runs program to its end; its standard output, trimmed. Dies when it fails.
QString run(const QString& program, const QStringList& arguments);

void writeFile(const QString& path, const QByteArray& bytes, bool executable = false);

// `size` bytes of a xorshift stream (incompressible), advancing `state`.
QByteArray randomBytes(qint64 size, quint64& state);

// A plug-in Info.plist that updates automatically from `feed`.
QByteArray infoPlist(const QString& version, const QString& feed, const QString& key);

double median(std::vector<double> values);

// A free loopback port, to name in files before the server starts.
quint16 freePort();

// A throw-away folder under $TMPDIR (or /tmp) holding a signing key made by the
// update-publisher beside this program, and a "serve" folder for the web server. Dies when
// either cannot be made.
class Workspace {
 public:
  explicit Workspace(const QString& name);
  QString filePath(const QString& name) const { return folder_.filePath(name); }

 private:
  QTemporaryDir folder_;

 public:
  const QString publisher, serve, key, publicKey;
};

// The updater of the plug-in installed at `installed`, timing its background checks.
class TimedUpdater {
 public:
  explicit TimedUpdater(const QString& installed);  // dies when there is none
  // Runs one background check to its end; the seconds it took.
  double checkInBackground();

 private:
  updater::SUUpdater* updater_;
  int finished_ = 0;
};

// python3's http.server serving `folder` on 127.0.0.1:port, from its construction (which waits
// until it answers) until its destruction.
class WebServer {
 public:
  WebServer(const QString& folder, quint16 port);
  ~WebServer();

 private:
  QProcess process_;
};

}  // namespace bench
