#include "bus_test_support.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QThread>
#include <QTimer>
#include <QUuid>

namespace ae_test {

using Clock = std::chrono::steady_clock;

QString builtProgram(const QString& name) {
  return QDir(qEnvironmentVariable("QUILLANE_BUILD_DIR")).filePath(QStringLiteral("bin/") + name);
}

bool waitForBusName(const QString& busName, bool owned, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  QDBusConnectionInterface* daemon = QDBusConnection::sessionBus().interface();
  while (Clock::now() < end) {
    if (daemon && daemon->isServiceRegistered(busName).value() == owned) return true;
    QThread::msleep(20);
  }
  return false;
}

Standin::Standin(QStringList arguments, const QString& busName)
    : logPath_(QDir::temp().filePath(QStringLiteral("standin-%1.log").arg(QUuid::createUuid().toString(QUuid::Id128)))),
      process_(std::make_unique<QProcess>()) {
  process_->setProcessChannelMode(QProcess::ForwardedErrorChannel);
  process_->start(builtProgram(QStringLiteral("mail-standin")), QStringList{QStringLiteral("--log"), logPath_} + arguments);
  started_ = process_->waitForStarted() && waitForBusName(busName);
}

Standin::~Standin() {
  if (process_->state() != QProcess::NotRunning) {
    process_->kill();
    process_->waitForFinished();
  }
  QFile::remove(logPath_);
}

std::vector<QJsonObject> Standin::log() const {
  std::vector<QJsonObject> lines;
  QFile file(logPath_);
  if (!file.open(QIODevice::ReadOnly)) return lines;
  for (const QByteArray& line : file.readAll().split('\n')) {
    if (!line.isEmpty()) lines.push_back(QJsonDocument::fromJson(line).object());
  }
  return lines;
}

int Standin::waitForExit(std::chrono::milliseconds limit) {
  if (!process_->waitForFinished(static_cast<int>(limit.count()))) return -1;
  return process_->exitStatus() == QProcess::NormalExit ? process_->exitCode() : -1;
}

bool serveUntilFinished(QProcess& process, std::chrono::milliseconds limit) {
  if (process.state() == QProcess::NotRunning) return true;
  QEventLoop loop;
  QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
  QTimer::singleShot(limit, &loop, &QEventLoop::quit);
  loop.exec();
  return process.state() == QProcess::NotRunning;
}

Sent sendEvent(const QByteArray& identifier, AEEventClass eventClass, AEEventID eventID, AESendMode mode, long ticks,
               AppleEvent* reply) {
  AppleEvent event;
  OSStatus status = AEBuildAppleEvent(eventClass, eventID, typeApplicationBundleID, identifier.constData(),
                                      identifier.size(), kAutoGenerateReturnID, kAnyTransactionID, &event, nullptr, "");
  if (status != noErr) return {status, {}};
  const auto start = Clock::now();
  status = AESendMessage(&event, reply, mode, ticks);
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  AEDisposeDesc(&event);
  return {status, elapsed};
}

}  // namespace ae_test
