#include "updater/relaunch_watcher.h"

#include "ae/bus_name.h"
#include "appkit/workspace.h"
#include "foundation/log.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFile>
#include <QFileInfo>

namespace updater {

namespace {

constexpr int kPollIntervalMs = 50;

const QString kBusService = QStringLiteral("org.freedesktop.DBus");
const QString kBusPath = QStringLiteral("/org/freedesktop/DBus");

QDBusMessage nameOwnerQuery(const QString& name) {
  QDBusMessage query = QDBusMessage::createMethodCall(kBusService, kBusPath, kBusService,
                                                      QStringLiteral("GetNameOwner"));
  query << name;
  return query;
}

}  // namespace

RelaunchWatcher::RelaunchWatcher(QObject* parent) : QObject(parent) {
  pollTimer_.setSingleShot(true);
  deadline_.setSingleShot(true);
  connect(&pollTimer_, &QTimer::timeout, this, &RelaunchWatcher::poll);
  connect(&deadline_, &QTimer::timeout, this, [this] { finish(false); });
}

QString RelaunchWatcher::bundleIdentifierForPath(const QString& path) {
  const QFileInfo entry(path);
  if (entry.suffix() != QLatin1String("desktop")) return {};
  return entry.completeBaseName();
}

QString RelaunchWatcher::applicationNameForPath(const QString& path) {
  QFile entry(path);
  if (QFileInfo(path).suffix() == QLatin1String("desktop") && entry.open(QIODevice::ReadOnly)) {
    bool inMainGroup = false;
    for (int lines = 0; lines < 1000 && !entry.atEnd(); ++lines) {
      const QString line = QString::fromUtf8(entry.readLine(4096)).trimmed();
      if (line.startsWith(u'[')) inMainGroup = line == QLatin1String("[Desktop Entry]");
      if (inMainGroup && line.startsWith(QLatin1String("Name="))) return line.mid(5).trimmed();
    }
  }
  return QFileInfo(path).completeBaseName();
}

void RelaunchWatcher::relaunch(const QString& path, int timeoutMs, std::function<void(bool)> done) {
  done_ = std::move(done);
  pending_ = true;
  QDBusConnection bus = QDBusConnection::sessionBus();
  const QString identifier = bundleIdentifierForPath(path);
  if (!identifier.isEmpty() && bus.isConnected())
    busName_ = ae::busNameForBundleIdentifier(identifier.toUtf8()).value_or(QString());
  if (!busName_.isEmpty()) {
    // Whoever holds the name now (the old instance, quitting) is not who we wait for.
    const QDBusMessage owner = bus.call(nameOwnerQuery(busName_), QDBus::Block, 1000);
    if (owner.type() == QDBusMessage::ReplyMessage && !owner.arguments().isEmpty())
      previousOwner_ = owner.arguments().constFirst().toString();
  }
  if (!appkit::NSWorkspace::sharedWorkspace().launchApplicationAtPath(path)) {
    foundation::NSLog(QStringLiteral("Update: could not relaunch %@"), path);
    QTimer::singleShot(0, this, [this] { finish(false); });
    return;
  }
  if (busName_.isEmpty()) {
    QTimer::singleShot(0, this, [this] { finish(true); });
    return;
  }
  deadline_.start(timeoutMs);
  poll();
}

void RelaunchWatcher::poll() {
  if (!pending_) return;
  auto* call = new QDBusPendingCallWatcher(
      QDBusConnection::sessionBus().asyncCall(nameOwnerQuery(busName_), 1000), this);
  connect(call, &QDBusPendingCallWatcher::finished, this, [this, call] {
    call->deleteLater();
    if (!pending_) return;
    QDBusPendingReply<QString> reply = *call;
    if (reply.isValid() && !reply.value().isEmpty() && reply.value() != previousOwner_) {
      finish(true);
      return;
    }
    pollTimer_.start(kPollIntervalMs);
  });
}

void RelaunchWatcher::finish(bool seen) {
  if (!pending_) return;
  pending_ = false;
  pollTimer_.stop();
  deadline_.stop();
  if (auto done = std::exchange(done_, nullptr)) done(seen);
}

}  // namespace updater
