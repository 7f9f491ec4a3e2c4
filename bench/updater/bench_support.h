// What the updater's benchmarks share: running tools, writing fixture files, a loopback web
// server in a process of its own, and medians.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <vector>

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
