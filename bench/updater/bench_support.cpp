#include "bench_support.h"

#include "updater/SUUpdater.h"

#include "foundation/bundle.h"
#include "foundation/notification_center.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace bench {

void die(const QString& message) {
  std::fprintf(stderr, "%s: %s\n", qPrintable(QFileInfo(QCoreApplication::applicationFilePath()).fileName()), qPrintable(message));
  std::exit(1);
}

QString run(const QString& program, const QStringList& arguments) {
  QProcess process;
  process.start(program, arguments);
  if (!process.waitForFinished(300000) || process.exitStatus() != QProcess::NormalExit ||
      process.exitCode() != 0)
    die(program + QStringLiteral(" failed: ") + QString::fromUtf8(process.readAllStandardError()));
  return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

void writeFile(const QString& path, const QByteArray& bytes, bool executable) {
  QDir().mkpath(QFileInfo(path).path());
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
    die(QStringLiteral("cannot write ") + path);
  if (executable) file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
}

QByteArray randomBytes(qint64 size, quint64& state) {
  QByteArray bytes(size, Qt::Uninitialized);
  auto* words = reinterpret_cast<quint64*>(bytes.data());
  for (qint64 i = 0; i < size / 8; ++i) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    words[i] = state;
  }
  return bytes;
}

QByteArray infoPlist(const QString& version, const QString& feed, const QString& key) {
  return QStringLiteral(
             "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
             "<key>CFBundleIdentifier</key><string>com.quillane.bench</string>"
             "<key>CFBundleVersion</key><string>%1</string>"
             "<key>SUFeedURL</key><string>%2</string>"
             "<key>SUPublicEDKey</key><string>%3</string>"
             "<key>SUAutomaticallyUpdate</key><true/></dict></plist>\n")
      .arg(version, feed, key)
      .toUtf8();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

Workspace::Workspace(const QString& name)
    : folder_(QDir::tempPath() + QStringLiteral("/") + name + QStringLiteral("-XXXXXX")),
      publisher(QCoreApplication::applicationDirPath() + QStringLiteral("/update-publisher")),
      serve(folder_.filePath(QStringLiteral("serve"))),
      key(folder_.filePath(QStringLiteral("bench.key"))),
      publicKey(folder_.isValid() ? run(publisher, {QStringLiteral("keygen"), QStringLiteral("--key"), key}) : QString()) {
  if (!folder_.isValid() || !QDir().mkpath(serve)) die(QStringLiteral("no work folder"));
}

TimedUpdater::TimedUpdater(const QString& installed) {
  std::optional<foundation::NSBundle> bundle = foundation::NSBundle::bundleWithPath(installed);
  updater_ = bundle ? updater::SUUpdater::updaterForBundle(*bundle) : nullptr;
  if (!updater_) die(QStringLiteral("no updater"));
  foundation::NSNotificationCenter::defaultCenter().addObserverSelectorNameObject(
      &finished_, [this](const foundation::NSNotification&) { ++finished_; },
      updater::SUUpdateDriverFinishedNotification, updater_);
}

double TimedUpdater::checkInBackground() {
  const int before = finished_;
  QElapsedTimer clock;
  clock.start();
  updater_->checkForUpdatesInBackground();
  while (finished_ == before) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  return clock.nsecsElapsed() / 1e9;
}

quint16 freePort() {
  QTcpServer probe;
  if (!probe.listen(QHostAddress::LocalHost, 0)) die(QStringLiteral("no free port"));
  return probe.serverPort();
}

WebServer::WebServer(const QString& folder, quint16 port) {
  process_.setWorkingDirectory(folder);
  process_.start(QStringLiteral("python3"), {QStringLiteral("-m"), QStringLiteral("http.server"),
                                             QStringLiteral("--bind"), QStringLiteral("127.0.0.1"),
                                             QString::number(port)});
  QElapsedTimer waiting;
  waiting.start();
  for (;;) {
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, port);
    if (probe.waitForConnected(200)) break;
    if (waiting.elapsed() > 10000) die(QStringLiteral("the web server did not start"));
    QThread::msleep(100);
  }
}

WebServer::~WebServer() {
  process_.terminate();
  process_.waitForFinished(5000);
}

}  // namespace bench
